#include "temporarytmpdir.h"

#include <QFile>

TemporaryTmpDir::TemporaryTmpDir()
    : wasSet(qEnvironmentVariableIsSet("TMPDIR"))
    , saved(qgetenv("TMPDIR"))
{
    if (dir.isValid()) {
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
    }
}

TemporaryTmpDir::~TemporaryTmpDir()
{
    if (wasSet) {
        qputenv("TMPDIR", saved);
    } else {
        qunsetenv("TMPDIR");
    }
}
