#pragma once

// File, output and process helpers for tests.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

bool writeFile(const QString& path, const QByteArray& bytes);
// size bytes that look random, the same for the same seed.
QByteArray randomBytes(qsizetype size, quint32 seed);

// The name of the update check's working directory for the running test program: its
// executable's file name without ".exe" (the update check never uses the application name).
QString ownWorkDirName();
// The whole file; empty when it cannot be read.
QByteArray readFile(const QString& path);

// A loopback port nobody listened on when asked; another program may take it before it is used.
int freeLoopbackPort();
// Waits up to timeoutMs for a loopback port to take connections.
bool acceptingOnLoopback(int port, int timeoutMs);
// Terminates a running process, killing it when it does not end within five seconds.
void stopProcess(QProcess& process);
// Runs openssl with the arguments; true when it exited with 0.
bool runOpenssl(const QStringList& arguments);
// A self-signed certificate for host (also its subjectAltName) with a new P-256 key, valid for two
// days, written to crt and key.
bool makeSelfSignedCertificate(const QString& host, const QString& crt, const QString& key);

// A directory tree by relative path: files with their bytes, directories as "name/" with none.
using Tree = QMap<QString, QByteArray>;
// Everything below root, hidden files included; a symbolic link counts as the file it names.
Tree snapshotTree(const QString& root);
// Writes files below root, making parent directories; keys ending in "/" make directories.
bool writeTree(const QString& root, const Tree& files);

// Captures everything written to the standard error stream (fd 2) while it lives.
class StderrCapture
{
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // What was written so far; the capture goes on.
    QByteArray text();

private:
    int savedFd = -1;
    int captureFd = -1;
    QString capturePath;
};

// A real process whose executable is a copy of /bin/sleep at `path`, so the file at `path` is
// in use for as long as it runs (opening it for writing fails with ETXTBSY).
class BusyExecutable
{
public:
    // Starts the copy, sleeping `seconds`; started() tells whether it runs.
    BusyExecutable(const QString& path, int seconds);
    ~BusyExecutable();
    bool started() const;
    void stop();

private:
    std::unique_ptr<QProcess> process;
};
