#pragma once

#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects debug messages from every thread while it lives; other messages go on to the
// handler that was installed before.
class DebugLog
{
public:
    DebugLog();
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;
    QStringList lines() const;
    // The lines that start with prefix.
    QStringList startingWith(const QString& prefix) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text);
    mutable std::mutex mutex;
    QStringList collected;
    QtMessageHandler previous = nullptr;
};
