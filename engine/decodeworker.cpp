#include "decodeworker.h"

DecodeWorker::DecodeWorker(std::function<void()> afterEach)
    : afterEach(std::move(afterEach))
    , thread([this] { work(); })
{
}

DecodeWorker::~DecodeWorker()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void DecodeWorker::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex);
        queue.push_back(std::move(job));
    }
    changed.notify_all();
}

void DecodeWorker::drain()
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return queue.empty() && !busy; });
}

void DecodeWorker::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) {
            return; // stopping, with nothing left to run
        }
        std::function<void()> job = std::move(queue.front());
        queue.pop_front();
        busy = true;
        lock.unlock();
        job();
        if (afterEach) {
            afterEach();
        }
        lock.lock();
        busy = false;
        changed.notify_all();
    }
}
