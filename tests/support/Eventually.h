#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tavelcast::testing {

// Waits until condition() holds or the deadline passes; returns whether it held. The
// condition is re-checked every few milliseconds, so the wait ends as soon as it is true.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::mutex mutex;
    std::condition_variable wake;  // never notified: a bounded pause between checks
    std::unique_lock lock(mutex);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        wake.wait_for(lock, std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace tavelcast::testing
