#pragma once

// The bounded wait for a held file, shared by the system-specific implementations.

#include "fileops.h"

#include <chrono>
#include <thread>

namespace platform::detail {

// Calls attempt() (answering a std::error_code) until it succeeds, fails with an error that
// held(error) does not call transient, or the policy's limit would be passed.
template <typename Attempt, typename Held>
FileResult retrying(const RetryPolicy& policy, Attempt attempt, Held held)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + policy.limit;
    FileResult result;
    for (;;) {
        result.error = attempt();
        if (!result.error || !held(result.error)) {
            return result;
        }
        if (Clock::now() + policy.step > deadline) {
            result.heldTooLong = true;
            return result;
        }
        std::this_thread::sleep_for(policy.step);
        ++result.retries;
    }
}

} // namespace platform::detail
