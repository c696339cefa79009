#include "net/Connection.h"

#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace tavelcast {

Connection::Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds writeDeadline)
    : m_socket(std::move(socket)), m_fd(m_socket.native_handle()),
      m_writeDeadline(writeDeadline), m_reader(*this, framing::MaxLineBytes) {
    asio::error_code ec;
    const auto endpoint = m_socket.remote_endpoint(ec);
    m_peerAddress = ec ? std::string("0.0.0.0") : endpoint.address().to_string();
    m_socket.native_non_blocking(true, ec);
}

Connection::~Connection() {
    asio::error_code ec;
    m_socket.close(ec);
}

void Connection::close() {
    if (!m_closed.exchange(true)) {
        ::shutdown(m_fd, SHUT_RDWR);
    }
}

std::size_t Connection::readSome(std::uint8_t* buffer, std::size_t capacity) {
    for (;;) {
        if (m_closed.load()) {
            return 0;
        }
        const ssize_t n = ::recv(m_fd, buffer, capacity, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw ConnectionClosed(std::string("receive failed: ") + std::strerror(errno));
        }
        pollfd pfd{m_fd, POLLIN, 0};
        // Reads wait without a time limit; close() wakes this poll through the shutdown.
        // Keep-alive notices a peer that vanished without closing.
        if (::poll(&pfd, 1, -1) < 0 && errno != EINTR) {
            throw ConnectionClosed(std::string("poll failed: ") + std::strerror(errno));
        }
    }
}

std::string Connection::readLine() { return m_reader.readLine(); }

void Connection::readExact(std::size_t n, std::vector<std::uint8_t>& out) {
    m_reader.readExact(n, out);
}

void Connection::sendAll(const std::uint8_t* data, std::size_t size,
                         std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < size) {
        if (m_closed.load()) {
            throw ConnectionClosed("connection closed");
        }
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            const int error = errno;
            close();
            throw ConnectionClosed(std::string("send failed: ") + std::strerror(error));
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            close();
            throw WriteTimeout("write deadline missed");
        }
        pollfd pfd{m_fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            const int error = errno;
            close();
            throw ConnectionClosed(std::string("poll failed: ") + std::strerror(error));
        }
    }
}

void Connection::writeUnit(std::span<const std::string_view> lines,
                           std::span<const std::uint8_t> payload) {
    std::lock_guard lock(m_writeMutex);
    writeLocked(lines, payload);
}

bool Connection::writeUnitIf(const std::function<bool()>& stillWanted,
                             std::span<const std::string_view> lines,
                             std::span<const std::uint8_t> payload) {
    std::lock_guard lock(m_writeMutex);
    if (!stillWanted()) {
        return false;
    }
    writeLocked(lines, payload);
    return true;
}

void Connection::writeLocked(std::span<const std::string_view> lines,
                             std::span<const std::uint8_t> payload) {
    std::string head;
    for (const auto line : lines) {
        head.append(line);
        head.append(framing::LineEnd);
    }
    const auto deadline = std::chrono::steady_clock::now() + m_writeDeadline;
    // The lines go out in one piece; each line on its own would be one too.
    sendAll(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), deadline);
    for (std::size_t offset = 0; offset < payload.size(); offset += framing::MaxPayloadPiece) {
        const std::size_t piece = std::min(framing::MaxPayloadPiece, payload.size() - offset);
        sendAll(payload.data() + offset, piece, deadline);
    }
}

} // namespace tavelcast
