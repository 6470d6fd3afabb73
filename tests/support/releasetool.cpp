#include "releasetool.h"

#include "testfiles.h"

#include <QProcess>

ToolRun runReleaseTool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(RELEASE_TOOL_EXE), arguments);
    ToolRun run;
    run.finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QString testSecretKeyFile()
{
    return QStringLiteral(TEST_RELEASE_KEYS "/release-test.secret");
}

QByteArray testPublicKey()
{
    return readFile(QStringLiteral(TEST_RELEASE_KEYS "/release-test.public")).trimmed();
}

QString testRootSecretFile()
{
    return QStringLiteral(TEST_RELEASE_KEYS "/root-test.secret");
}

QByteArray testRootPublicKey()
{
    return readFile(QStringLiteral(TEST_RELEASE_KEYS "/root-test.public")).trimmed();
}
