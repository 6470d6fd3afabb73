#pragma once

// A thread of the download pass that decodes fetched objects one after another, so that
// applying a patch to a large file goes on beside the transfers instead of holding them up.
// One decoding at a time: a patch maps its source file, and two at once could hold two large
// sources in memory.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class DecodeWorker
{
public:
    // afterEach runs on the worker after every job (the pass wakes up to collect the result).
    explicit DecodeWorker(std::function<void()> afterEach);
    // Runs what is still queued, then ends the thread.
    ~DecodeWorker();
    DecodeWorker(const DecodeWorker&) = delete;
    DecodeWorker& operator=(const DecodeWorker&) = delete;

    void post(std::function<void()> job);
    // Returns once every job posted so far has run.
    void drain();

private:
    void work();

    std::function<void()> afterEach;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stopping = false;
    std::thread thread;
};
