#include "rungate.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>

bool RunGate::isOpen()
{
    std::lock_guard lock(mutex);
    return !closed;
}

bool RunGate::showBox(const std::function<void()>& show)
{
    {
        std::lock_guard lock(mutex);
        if (closed) {
            return false;
        }
        boxPending = true;
    }
    // Not under the lock: the GUI thread may need it to close the gate while the box is up.
    show();
    std::lock_guard lock(mutex);
    boxPending = false;
    boxDone.notify_all();
    return true;
}

void RunGate::endLoop()
{
    std::lock_guard lock(mutex);
    if (closed) {
        return;
    }
    // Queued, so the loop is ended on its own thread, where the toolkit expects it.
    QMetaObject::invokeMethod(
        &loopOwner, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void RunGate::close(QObject* boxReceiver)
{
    std::unique_lock lock(mutex);
    closed = true;
    // A request the worker posted before it saw the gate closed would never be served now.
    // Dropping the queued call releases its caller; the worker may be just about to post it,
    // so look again until it has come back.
    while (boxPending) {
        QCoreApplication::removePostedEvents(boxReceiver, QEvent::MetaCall);
        boxDone.wait_for(lock, std::chrono::milliseconds(10));
    }
}
