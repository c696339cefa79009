#include "PupilSocket.h"

#include "net/NetErrors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tavelcast::sim {

namespace {

// Bytes read aside while a write waits; beyond this the write just waits for room.
constexpr std::size_t MaxInboundAside = 128u * 1024u * 1024u;
constexpr std::size_t ReadAsideChunk = 64u * 1024u;

[[noreturn]] void throwClosed(const char* what, int error) {
    throw ConnectionClosed(std::string(what) + ": " + std::strerror(error));
}

bool isPeerGone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ETIMEDOUT ||
           error == ECONNABORTED || error == EHOSTUNREACH || error == ENETUNREACH;
}

} // namespace

PupilSocket::PupilSocket(int fd, const RunControl& control, PupilActivity& activity)
    : m_fd(fd), m_control(control), m_activity(activity) {}

PupilSocket::~PupilSocket() {
    ::close(m_fd);
}

bool PupilSocket::takeIncoming() {
    if (m_inboundBegin == m_inbound.size()) {
        m_inbound.clear();
        m_inboundBegin = 0;
    }
    const std::size_t old = m_inbound.size();
    m_inbound.resize(old + ReadAsideChunk);
    const ssize_t n = ::recv(m_fd, m_inbound.data() + old, ReadAsideChunk, MSG_DONTWAIT);
    const int error = errno;
    m_inbound.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) {
        return true;
    }
    if (n == 0) {
        return false;
    }
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return true;
    }
    if (isPeerGone(error)) {
        return false;
    }
    throwClosed("recv", error);
}

std::size_t PupilSocket::readSome(std::uint8_t* buffer, std::size_t capacity) {
    for (;;) {
        if (m_inboundBegin < m_inbound.size()) {
            const std::size_t n = std::min(capacity, m_inbound.size() - m_inboundBegin);
            std::memcpy(buffer, m_inbound.data() + m_inboundBegin, n);
            m_inboundBegin += n;
            return n;
        }
        if (m_peerClosed) {
            return 0;
        }
        if (m_control.stopping()) {
            throw RunStopped();
        }
        const int timeout = m_activity.onIdle();
        if (m_inboundBegin < m_inbound.size() || m_peerClosed) {
            continue; // the work wrote, and read aside meanwhile
        }

        pollfd fds[3];
        nfds_t count = 0;
        // Without reading, POLLIN is not asked for: only a hang-up can wake us.
        fds[count++] = {m_fd, static_cast<short>(m_reading ? POLLIN : POLLRDHUP), 0};
        fds[count++] = {m_control.stopFd(), POLLIN, 0};
        if (!m_drainSeen) {
            fds[count++] = {m_control.drainFd(), POLLIN, 0};
        }
        const int rc = ::poll(fds, count, timeout);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            throw RunStopped();
        }
        if (count == 3 && fds[2].revents != 0) {
            m_drainSeen = true;
            m_activity.onDrain();
            continue;
        }
        if (fds[0].revents == 0) {
            continue; // work is due
        }
        if (!m_reading) {
            if ((fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                return 0;
            }
            continue;
        }
        const ssize_t n = ::recv(m_fd, buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            continue;
        }
        if (isPeerGone(error)) {
            throwClosed("recv", error);
        }
        throw std::runtime_error(std::string("recv: ") + std::strerror(error));
    }
}

void PupilSocket::writeAll(std::span<const std::span<const std::uint8_t>> pieces) {
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (const auto& piece : pieces) {
        if (!piece.empty()) {
            iov.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
        }
    }
    std::size_t first = 0;
    while (first < iov.size()) {
        if (m_control.stopping()) {
            throw RunStopped();
        }
        msghdr message{};
        message.msg_iov = iov.data() + first;
        message.msg_iovlen = iov.size() - first;
        const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            auto left = static_cast<std::size_t>(sent);
            while (first < iov.size() && left >= iov[first].iov_len) {
                left -= iov[first].iov_len;
                ++first;
            }
            if (left > 0) {
                iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
            }
            continue;
        }
        const int error = errno;
        if (sent < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            if (isPeerGone(error)) {
                throwClosed("send", error);
            }
            throw std::runtime_error(std::string("send: ") + std::strerror(error));
        }
        // No room: wait for room, taking in whatever the server sends meanwhile.
        const bool readAside =
            m_reading && !m_peerClosed && m_inbound.size() - m_inboundBegin < MaxInboundAside;
        pollfd fds[2] = {
            {m_fd, static_cast<short>(POLLOUT | (readAside ? POLLIN : 0)), 0},
            {m_control.stopFd(), POLLIN, 0},
        };
        const int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            throw RunStopped();
        }
        if (readAside && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!takeIncoming()) {
                m_peerClosed = true; // the rest of the write will fail with EPIPE/ECONNRESET
            }
        }
    }
}

} // namespace tavelcast::sim
