#include "core/TeacherSocket.h"

#include "net/NetErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast {

namespace {

std::string errorText(int error) {
    return std::strerror(error);
}

void setOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// Waits for events on fd or the wake descriptor, until the deadline (none: for ever).
// Returns the revents of fd, 0 on timeout; throws Stopping when woken.
short waitFor(int fd, short events, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw ConnectionClosed("poll failed: " + errorText(errno));
        }
        if (wakeFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            throw Stopping();
        }
        return n == 0 ? 0 : fds[0].revents;
    }
}

} // namespace

TeacherSocket::TeacherSocket(const std::string& host, std::uint16_t port,
                             std::chrono::milliseconds timeout, int wakeFd,
                             const std::string& bindAddress)
    : m_wakeFd(wakeFd) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        throw ConnectFailed("cannot resolve " + host + ": " + ::gai_strerror(rc));
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    m_peer = std::string(dotted) + ":" + service;

    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        throw ConnectFailed("socket: " + errorText(errno));
    }
    try {
        if (!bindAddress.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            if (::inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) != 1 ||
                ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
                throw ConnectFailed("cannot connect from " + bindAddress + ": " + errorText(errno));
            }
        }
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (errno != EINPROGRESS) {
                throw ConnectFailed("connect to " + m_peer + ": " + errorText(errno));
            }
            if (waitFor(m_fd, POLLOUT, m_wakeFd, static_cast<int>(timeout.count())) == 0) {
                throw ConnectFailed("connect to " + m_peer + ": timed out");
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                throw ConnectFailed("connect to " + m_peer + ": " + errorText(error));
            }
        }
    } catch (...) {
        ::close(m_fd);
        throw;
    }
    // Blocking from here on: reads wait in poll(), writes have a send timeout.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    setOption(m_fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(m_fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    setOption(m_fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
    setOption(m_fd, IPPROTO_TCP, TCP_USER_TIMEOUT, 25000);
    timeval sendTimeout{10, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
}

TeacherSocket::~TeacherSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::size_t TeacherSocket::readSome(std::uint8_t* buffer, std::size_t capacity) {
    for (;;) {
        int timeoutMs = -1;
        if (m_idleHook) {
            const auto due = m_idleHook();
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
            // Round up, so the hook is not called a millisecond early and again at once.
            timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count() + 1));
        }
        const short revents = waitFor(m_fd, POLLIN, m_wakeFd, timeoutMs);
        if (revents == 0) {
            continue; // time for the idle hook
        }
        const ssize_t n = ::recv(m_fd, buffer, capacity, 0);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR || errno == EAGAIN) {
            continue;
        }
        throw ConnectionClosed("read from " + m_peer + ": " + errorText(errno));
    }
}

void TeacherSocket::write(std::string_view bytes) {
    std::lock_guard lock(m_writeMutex);
    writeLocked(bytes);
}

void TeacherSocket::writeLocked(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            throw WriteTimeout("write to " + m_peer + " timed out");
        } else {
            throw ConnectionClosed("write to " + m_peer + ": " + errorText(errno));
        }
    }
}

} // namespace tavelcast
