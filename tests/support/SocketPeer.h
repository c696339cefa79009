#pragma once

#include <chrono>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast::testing {

// One end of a test's TCP connection, owning its socket: whole sends, and line and byte
// reads bounded by deadlines. Used for pupils the tests play and for teachers they script.
class SocketPeer {
public:
    explicit SocketPeer(int fd = -1) : m_fd(fd) {}
    ~SocketPeer() { close(); }
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    int fd() const { return m_fd; }

    void close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    void send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("send failed");
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    // Reads one line (without CR LF), or nothing when the deadline passes or the other end
    // closed the connection first.
    std::optional<std::string>
    readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto lf = m_buffer.find('\n'); lf != std::string::npos) {
                std::string line = m_buffer.substr(0, lf);
                m_buffer.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line;
            }
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
    }

    // Reads exactly n bytes, or nothing on deadline or close.
    std::optional<std::string>
    readBytes(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_buffer.size() < n) {
            if (!fill(deadline)) {
                return std::nullopt;
            }
        }
        std::string bytes = m_buffer.substr(0, n);
        m_buffer.erase(0, n);
        return bytes;
    }

    // True when the other end closes the connection before the deadline. Data that
    // arrives first is kept for later reads.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_closed) {
            if (!fill(deadline) && !m_closed) {
                return false;
            }
        }
        return true;
    }

    bool closedByPeer() const { return m_closed; }
    const std::string& pending() const { return m_buffer; }
    void dropPending() { m_buffer.clear(); }

private:
    bool fill(std::chrono::steady_clock::time_point deadline) {
        if (m_closed) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_closed = true;
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd;
    std::string m_buffer;
    bool m_closed = false;
};

} // namespace tavelcast::testing
