#include "testfiles.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    qsizetype at = 0;
    for (; at + 4 <= size; at += 4) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + at, &word, sizeof word);
    }
    for (; at < size; ++at) {
        bytes[at] = char(generator.generate() & 0xff);
    }
    return bytes;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : -1;
}

bool acceptingOnLoopback(int port, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(100)) {
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

void stopProcess(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

bool runOpenssl(const QStringList& arguments)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

bool makeSelfSignedCertificate(const QString& host, const QString& crt, const QString& key)
{
    return runOpenssl({ QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
        QStringLiteral("ec"), QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
        QStringLiteral("/CN=") + host, QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:") + host,
        QStringLiteral("-keyout"), key, QStringLiteral("-out"), crt });
}

Tree snapshotTree(const QString& root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        } else {
            tree.insert(relative, readFile(path));
        }
    }
    return tree;
}

bool writeTree(const QString& root, const Tree& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path)) {
                return false;
            }
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !writeFile(path, it.value())) {
            return false;
        }
    }
    return true;
}

StderrCapture::StderrCapture()
{
    capturePath = QDir::tempPath() + QStringLiteral("/stderr-capture-%1-%2.txt")
                                         .arg(QCoreApplication::applicationPid())
                                         .arg(quintptr(this));
    std::fflush(stderr);
    savedFd = ::dup(2);
    captureFd = ::open(QFile::encodeName(capturePath).constData(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    ::dup2(captureFd, 2);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    ::dup2(savedFd, 2);
    ::close(savedFd);
    ::close(captureFd);
    QFile::remove(capturePath);
}

QByteArray StderrCapture::text()
{
    std::fflush(stderr);
    return readFile(capturePath);
}

BusyExecutable::BusyExecutable(const QString& path, int seconds)
{
    QFile::remove(path);
    if (!QFile::copy(QStringLiteral("/bin/sleep"), path)) {
        return;
    }
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    process = std::make_unique<QProcess>();
    process->start(path, { QString::number(seconds) });
    if (!process->waitForStarted(5000)) {
        process.reset();
    }
}

BusyExecutable::~BusyExecutable()
{
    stop();
}

bool BusyExecutable::started() const
{
    return process && process->state() == QProcess::Running;
}

void BusyExecutable::stop()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QString ownWorkDirName()
{
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.endsWith(QLatin1String(".exe"))) {
        name.chop(4);
    }
    return name;
}
