#include "filehelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

QString executableFileName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

platform::WriteProbe probeExecutable(const char* path)
{
    std::error_code error;
    const platform::WriteProbe probe = platform::probeForWriting(platform::pathFromUtf8(path), &error);
    switch (probe) {
    case platform::WriteProbe::Missing:
        std::fprintf(stderr, "exe file not exist: %s\n", path);
        break;
    case platform::WriteProbe::NoPermission:
        std::fprintf(stderr, "no permission to write %s: %s\n", path, platform::errorText(error).c_str());
        break;
    case platform::WriteProbe::Failed:
        std::fprintf(stderr, "cannot open %s for writing: %s\n", path, platform::errorText(error).c_str());
        break;
    case platform::WriteProbe::Free:
    case platform::WriteProbe::InUse:
        return probe;
    }
    std::fflush(stderr);
    return probe;
}

bool isFileBusy(const char* path)
{
    const platform::WriteProbe probe = probeExecutable(path);
    return probe == platform::WriteProbe::InUse || probe == platform::WriteProbe::Failed;
}

bool fileExists(const char* path)
{
    std::FILE* file = platform::openFile(platform::pathFromUtf8(path), "rb");
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
    return platform::systemPath(std::filesystem::path(path.toStdWString()));
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

Qt::CaseSensitivity fileNameCase()
{
    return platform::caseInsensitiveNames() ? Qt::CaseInsensitive : Qt::CaseSensitive;
}

platform::FileResult replaceFile(const QString& from, const QString& to)
{
    return platform::replaceFile(nativePath(from), nativePath(to));
}
