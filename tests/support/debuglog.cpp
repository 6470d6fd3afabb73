#include "debuglog.h"

namespace {
DebugLog* activeLog = nullptr;
}

DebugLog::DebugLog()
{
    activeLog = this;
    previous = qInstallMessageHandler(&DebugLog::handle);
}

DebugLog::~DebugLog()
{
    qInstallMessageHandler(previous);
    activeLog = nullptr;
}

void DebugLog::handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    DebugLog* log = activeLog;
    if (type == QtDebugMsg && log) {
        std::lock_guard lock(log->mutex);
        log->collected << text;
        return;
    }
    if (log && log->previous) {
        log->previous(type, context, text);
    }
}

QStringList DebugLog::lines() const
{
    std::lock_guard lock(mutex);
    return collected;
}

QStringList DebugLog::startingWith(const QString& prefix) const
{
    QStringList result;
    for (const QString& line : lines()) {
        if (line.startsWith(prefix)) {
            result << line;
        }
    }
    return result;
}
