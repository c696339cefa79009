#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace tavelcast::sim {

// The run was ended (duration over, a signal, or every pupil closed): unwinds a pupil.
class RunStopped : public std::runtime_error {
public:
    RunStopped() : std::runtime_error("run stopped") {}
};

// Start time and the two end signals of a run, shared by every pupil thread. Each signal
// is an eventfd that stays readable once raised, so a pupil blocked in poll() wakes at once
// without any periodic wake-ups.
//  - drain: stop starting new work (snapshots, polls, list requests), keep reading so the
//    answers to snapshots already sent still arrive;
//  - stop: leave now.
class RunControl {
public:
    using Clock = std::chrono::steady_clock;

    RunControl();
    ~RunControl();
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    Clock::time_point start() const { return m_start; }
    double msSinceStart(Clock::time_point t) const {
        return std::chrono::duration<double, std::milli>(t - m_start).count();
    }

    void requestDrain();
    void requestStop();
    bool draining() const { return m_draining.load(); }
    bool stopping() const { return m_stopping.load(); }
    int drainFd() const { return m_drainFd; }
    int stopFd() const { return m_stopFd; }

    // Waits up to `timeout` for the stop signal (and the drain signal when watchDrain);
    // returns true when the wait ended because of one.
    bool waitForSignal(std::chrono::milliseconds timeout, bool watchDrain) const;

private:
    Clock::time_point m_start = Clock::now();
    int m_drainFd = -1;
    int m_stopFd = -1;
    std::atomic<bool> m_draining{false};
    std::atomic<bool> m_stopping{false};
};

} // namespace tavelcast::sim
