#include "checkedwrite.h"

#include "filehelpers.h"
#include "fileops.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Makes the open file's written bytes durable; false with errno set when the system refuses.
bool syncFileDescriptor(int descriptor)
{
#ifdef _WIN32
    return _commit(descriptor) == 0;
#else
    return ::fsync(descriptor) == 0;
#endif
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void fail(QString* error, const QString& text)
{
    if (error) {
        *error = text;
    }
}

} // namespace

bool writeFileChecked(const QString& path, QByteArrayView data, QString* error)
{
    // One temporary name per process: the host's update check and the updater may both write
    // the same file, and neither may rename the other's half-written copy into place.
    const QString temporary = path + QStringLiteral(".saving-") + QString::number(QCoreApplication::applicationPid());
    QFile out(temporary);
    // Unbuffered: every write goes straight to the system, so its result is the real one.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        fail(error, out.errorString());
        return false;
    }
    const auto abandon = [&](const QString& why) {
        fail(error, why);
        out.close();
        QFile::remove(temporary);
        return false;
    };
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 wrote = out.write(data.data() + done, data.size() - done);
        if (wrote <= 0) {
            return abandon(out.errorString());
        }
        done += wrote;
    }
    if (!out.flush()) {
        return abandon(out.errorString());
    }
    errno = 0;
    if (!syncFileDescriptor(out.handle())) {
        return abandon(systemError(errno));
    }
    out.close();
    if (out.error() != QFileDevice::NoError) {
        fail(error, out.errorString());
        QFile::remove(temporary);
        return false;
    }
    if (const platform::FileResult moved = replaceFile(temporary, path); !moved) {
        fail(error, QString::fromStdString(moved.describe()));
        QFile::remove(temporary);
        return false;
    }
    // Best effort: the file is complete either way, only its name may not yet be on disk.
    platform::syncDirectory(nativePath(QFileInfo(path).absolutePath()));
    return true;
}
