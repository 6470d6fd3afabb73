#include "leftovers.h"

#include "filehelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

namespace {

QString listPath(const QString& workDir)
{
    return joinPath(workDir, QString::fromLatin1(LeftoverListName));
}

QStringList readList(const QString& workDir)
{
    QFile file(listPath(workDir));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList paths;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty()) {
            paths.append(QString::fromUtf8(trimmed));
        }
    }
    return paths;
}

bool writeList(const QString& workDir, const QStringList& paths)
{
    if (paths.isEmpty()) {
        return QFile::remove(listPath(workDir)) || !QFileInfo::exists(listPath(workDir));
    }
    QSaveFile out(listPath(workDir));
    const QByteArray text = paths.join(QLatin1Char('\n')).toUtf8() + '\n';
    return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() && out.commit();
}

bool removeOnce(const QString& path)
{
    const platform::RetryPolicy once { std::chrono::milliseconds(0), std::chrono::milliseconds(0) };
    const platform::FileResult removed = platform::removeFile(nativePath(path), once);
    return removed || platform::isNotFound(removed.error);
}

// Only the merge's own temporary names below the installation directory are ever removed from
// the list, whatever else the file was made to hold.
bool isRemovable(const QString& path, const QString& appDir)
{
    const QString root = QDir::cleanPath(QDir(appDir).absolutePath()) + QLatin1Char('/');
    const QString clean = QDir::cleanPath(path);
    return QFileInfo(clean).isAbsolute() && clean.startsWith(root, fileNameCase())
        && QFileInfo(clean).fileName().startsWith(QLatin1Char('.'));
}

} // namespace

bool removeNowOrLater(const QString& workDir, const QString& path)
{
    if (removeOnce(path)) {
        return true;
    }
    QStringList paths = readList(workDir);
    if (!paths.contains(path)) {
        paths.append(path);
    }
    if (!writeList(workDir, paths)) {
        std::fprintf(stderr, "cannot remove %s now, nor list it for later\n", path.toUtf8().constData());
        return false;
    }
    return true;
}

int removeLeftovers(const QString& workDir, const QString& appDir)
{
    const QStringList listed = readList(workDir);
    if (listed.isEmpty()) {
        return 0;
    }
    QStringList remaining;
    for (const QString& path : listed) {
        if (isRemovable(path, appDir) && !removeOnce(path)) {
            remaining.append(path);
        }
    }
    if (remaining != listed) {
        writeList(workDir, remaining);
    }
    return int(remaining.size());
}
