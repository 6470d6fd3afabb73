#include "rolloutfraction.h"

#include "checkedwrite.h"
#include "debugmessage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cmath>

namespace {

constexpr qint64 MaxFileBytes = 64;

bool readFraction(const QString& path, double& fraction)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray text = file.read(MaxFileBytes).trimmed();
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < 0.0 || value >= 1.0) {
        return false;
    }
    fraction = value;
    return true;
}

} // namespace

QString rolloutFractionPath(const QString& hostName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Orbisnap/")
        + hostName + QStringLiteral("/rollout-fraction");
}

double installationRolloutFraction(const QString& hostName)
{
    const QString path = rolloutFractionPath(hostName);
    double fraction = 0.0;
    if (readFraction(path, fraction)) {
        return fraction;
    }
    const bool existed = QFileInfo::exists(path);
    fraction = QRandomGenerator::system()->generateDouble();
    QString reason;
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        reason = QStringLiteral("cannot create its folder");
    } else if (writeFileChecked(path, QByteArray::number(fraction, 'g', 17) + '\n', &reason)) {
        if (existed) {
            debugMessage("rollout fraction unreadable, drawn again:", path);
        }
        return fraction;
    }
    debugMessage("rollout fraction not kept:", path, reason);
    return fraction;
}
