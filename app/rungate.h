#pragma once

// The end of an update run, shared by the worker thread and the GUI thread. The worker's
// blocking boxes and its request to end the event loop go through the gate; once the GUI
// thread has closed it (the event loop returned, for instance because the user closed the
// window) the worker shows no box and ends no loop, and a box request already posted is
// discarded instead of waiting for a loop that no longer runs.
//
// Construct it on the GUI thread; it must outlive the worker thread.

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>

class RunGate
{
public:
    RunGate() = default;
    RunGate(const RunGate&) = delete;
    RunGate& operator=(const RunGate&) = delete;

    // Worker thread. Whether the run still goes on.
    bool isOpen();
    // Worker thread. Runs show, a blocking request to the window on the GUI thread, unless
    // the gate is closed; false when it was skipped.
    bool showBox(const std::function<void()>& show);
    // Worker thread. Asks the GUI thread to end its event loop with 0, unless the gate is
    // closed. Returns at once.
    void endLoop();

    // GUI thread, after the event loop returned. From here on nothing is shown and nothing is
    // ended; a blocking request to `boxReceiver` still in its queue is dropped, which releases
    // the waiting worker. Returns once no box request is under way.
    void close(QObject* boxReceiver);

private:
    // Target of the request to end the loop: it lives on the GUI thread, and a request still
    // queued when the run is over goes with it, so it cannot end a later loop.
    QObject loopOwner;
    std::mutex mutex;
    std::condition_variable boxDone;
    bool closed = false;
    bool boxPending = false;
};
