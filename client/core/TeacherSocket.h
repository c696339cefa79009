#pragma once

#include "net/ByteSource.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavelcast {

// The attempt to reach the teacher failed (no such host, refused, timed out).
class ConnectFailed : public std::runtime_error {
public:
    explicit ConnectFailed(const std::string& what) : std::runtime_error(what) {}
};

// The client is stopping: the wake descriptor was signalled during a wait.
class Stopping : public std::runtime_error {
public:
    Stopping() : std::runtime_error("stopping") {}
};

// The pupil's TCP connection to the teacher, as a ByteSource for a LineReader.
//
// Reads wait in poll() on the socket and on a wake descriptor (an eventfd the owner
// signals to stop). While a read waits, the idle hook runs whenever its time has come: it
// does what is due (a poll, a list request) and says when it wants to run next. So one
// thread both reads and keeps the pupil's own schedule, and an idle pupil wakes only when
// something is due.
//
// The socket has TCP keep-alive and a user timeout, so a teacher PC that vanishes without
// closing is noticed within half a minute, and writes that cannot go out within 10 s fail.
class TeacherSocket : public ByteSource {
public:
    using Clock = std::chrono::steady_clock;
    using IdleHook = std::function<Clock::time_point()>;

    // Resolves host (IPv4), connects within timeout. Throws ConnectFailed, or Stopping when
    // the wake descriptor is signalled meanwhile.
    // bindAddress: the local IPv4 address to connect from; empty for any.
    TeacherSocket(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                  int wakeFd, const std::string& bindAddress = {});
    ~TeacherSocket() override;
    TeacherSocket(const TeacherSocket&) = delete;
    TeacherSocket& operator=(const TeacherSocket&) = delete;

    void setIdleHook(IdleHook hook) { m_idleHook = std::move(hook); }

    // ByteSource: 0 when the teacher closed the connection; throws ConnectionClosed on a
    // transport error, Stopping when woken.
    std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) override;

    // Writes all of the bytes under the write lock; throws ConnectionClosed or WriteTimeout.
    void write(std::string_view bytes);

    // The teacher's address as connected ("192.168.1.10:7000").
    const std::string& peer() const { return m_peer; }

private:
    void writeLocked(std::string_view bytes);

    int m_fd = -1;
    int m_wakeFd = -1;
    std::string m_peer;
    IdleHook m_idleHook;
    std::mutex m_writeMutex;
};

} // namespace tavelcast
