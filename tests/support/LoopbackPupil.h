#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast::testing {

// A minimal pupil for tests: a blocking TCP client on loopback with deadline-bounded reads.
class LoopbackPupil {
public:
    // Connects to 127.0.0.1:port, from sourceAddress (another 127.0.0.x) when given.
    explicit LoopbackPupil(std::uint16_t port, const std::string& sourceAddress = {}) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            throw std::runtime_error("socket failed");
        }
        if (!sourceAddress.empty()) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr);
            if (::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
                ::close(m_fd);
                throw std::runtime_error("bind to source address failed");
            }
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            const int error = errno;
            ::close(m_fd);
            throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
        }
    }
    ~LoopbackPupil() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    LoopbackPupil(const LoopbackPupil&) = delete;
    LoopbackPupil& operator=(const LoopbackPupil&) = delete;

    int fd() const { return m_fd; }

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

    void sendSnapshot(const std::string& payload) {
        send("GetSnapShot\r\n" + std::to_string(payload.size()) + "\r\n" + payload);
    }

    // Reads one line (without CR LF), or nothing when the deadline passes or the server
    // closed the connection first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
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
    std::optional<std::string> readBytes(std::size_t n,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
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

    // True when the server closes the connection before the deadline. Data that arrives
    // first is kept for later reads.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!m_closed) {
            if (!fill(deadline) && !m_closed) {
                return false;
            }
        }
        return true;
    }

    bool closedByServer() const { return m_closed; }
    const std::string& pending() const { return m_buffer; }

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

    int m_fd = -1;
    std::string m_buffer;
    bool m_closed = false;
};

} // namespace tavelcast::testing
