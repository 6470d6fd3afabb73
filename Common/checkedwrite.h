#pragma once

// Writing a whole file so that it is either complete on disk or not there at all. Every step
// is checked: a short write, a failed flush, a failed sync and a failed close each fail the
// write (a buffered writer can report success at close although the disk filled while it
// buffered). The bytes go to a temporary name beside the target and are renamed over it only
// once they are on disk, so a failure leaves whatever was at the target as it was.

#include <QByteArrayView>
#include <QString>

// Writes data to path as described above. On failure the temporary file is removed and
// *error (when given) holds the cause as the system words it ("No space left on device").
bool writeFileChecked(const QString& path, QByteArrayView data, QString* error = nullptr);
