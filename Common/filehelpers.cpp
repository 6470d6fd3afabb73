#include "filehelpers.h"

#include <QDir>
#include <QFile>

#include <cstdio>

QString updateWorkDir(const QString& exeName)
{
    QString name = exeName;
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseSensitive)) {
        name.chop(4);
    }
    const QString dir = QDir(QDir::tempPath()).absolutePath() + QLatin1Char('/') + name;
    if (QDir(dir).exists()) {
        return dir;
    }
    if (QDir().mkdir(dir)) {
        return dir;
    }
    return QStringLiteral(".");
}

bool isFileBusy(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (!file) {
        std::fprintf(stderr, "exe file not exist: %s\n", path);
        std::fflush(stderr);
        return false;
    }
    std::fclose(file);
    file = std::fopen(path, "a+");
    if (!file) {
        return true;
    }
    std::fclose(file);
    return false;
}

bool fileExists(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (!file) {
        return false;
    }
    std::fclose(file);
    return true;
}

QString joinPath(const QString& dir, const QString& relative)
{
    return dir + QLatin1Char('/') + relative;
}

std::filesystem::path nativePath(const QString& path)
{
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

bool replaceFile(const QString& from, const QString& to)
{
    std::error_code error;
    std::filesystem::rename(nativePath(from), nativePath(to), error);
    return !error;
}
