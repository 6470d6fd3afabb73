#include "smalldisk.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>

SmallDisk::SmallDisk(const QString& where, const char* size) : root(where)
{
    QDir().mkpath(root);
    mounted = QProcess::execute(QStringLiteral("mount"),
                  { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                      QStringLiteral("size=") + QLatin1String(size), QStringLiteral("tmpfs"), root })
        == 0;
}

SmallDisk::~SmallDisk()
{
    if (mounted) {
        QProcess::execute(QStringLiteral("umount"), { QStringLiteral("-l"), root });
    }
}

bool SmallDisk::makeReadOnly()
{
    return mounted
        && QProcess::execute(QStringLiteral("mount"), { QStringLiteral("-o"), QStringLiteral("remount,ro"), root })
        == 0;
}

bool SmallDisk::fill(qint64 spare)
{
    QFile filler(root + QStringLiteral("/.filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return false;
    }
    const QByteArray block(4096, 'f');
    while (QStorageInfo(root).bytesAvailable() > spare) {
        if (filler.write(block) != block.size()) {
            break;
        }
    }
    return true;
}
