#include "updaterun.h"

#include "download.h"

int runUpdate(const QString& exeName, int mode, const QString& appDir, const QString& workDir,
    const QString& diffPath)
{
    Download worker(workDir.toUtf8().constData(), diffPath.toUtf8().constData(),
        appDir.toUtf8().constData(), exeName.toUtf8().constData(), mode);
    worker.print();
    return 0;
}
