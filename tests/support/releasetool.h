#pragma once

// The real orbisnap-release executable run as a child process, and the fixed test key pair
// (tests/keys) it signs with in tests.

#include <QByteArray>
#include <QString>
#include <QStringList>

struct ToolRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

ToolRun runReleaseTool(const QStringList& arguments);

// Paths of the test key pair's files.
QString testSecretKeyFile();
// The test public key in base64, as the CMake variable takes it.
QByteArray testPublicKey();

// The fixed test root key pair (a build configured with ORBISNAP_ROOT_KEYS set to it checks
// answers by roles).
QString testRootSecretFile();
QByteArray testRootPublicKey();
