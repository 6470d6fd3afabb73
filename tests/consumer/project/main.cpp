// A host that links the installed library: the generated server address, the version order,
// the updater beside it, and a launch that starts nothing before a check found a newer version.

#include <serverconfig.h>
#include <updatecheck.h>
#include <version.h>

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    UpdateCheck update;
    const bool beside
        = QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/RevisionPusher.exe"));
    const bool launched = update.launchIfNewer() == UpdateCheck::LaunchResult::Started;
    std::printf("server %s\n", ServerBaseUrl);
    std::printf("1.10 after 1.9: %s\n", compareVersions("v1.10", "v1.9") > 0 ? "yes" : "no");
    std::printf("updater beside the host: %s\n", beside ? "yes" : "no");
    std::printf("launched: %s\n", launched ? "yes" : "no");
    return 0;
}
