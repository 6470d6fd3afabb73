#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A new temporary folder that TMPDIR names while it lives, for code that takes its temporary
// directory from the system. It is made where TMPDIR pointed before, and TMPDIR points there
// again once it is gone, so one made after it lands in the same place.
class TemporaryTmpDir
{
public:
    TemporaryTmpDir();
    ~TemporaryTmpDir();
    TemporaryTmpDir(const TemporaryTmpDir&) = delete;
    TemporaryTmpDir& operator=(const TemporaryTmpDir&) = delete;

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }

private:
    const bool wasSet;
    const QByteArray saved;
    QTemporaryDir dir;
};
