#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast::testing {

// A teacher whose every byte the test writes: a listening socket on 127.0.0.1 and a free
// port, and the pupils it accepts, each read line by line with deadlines.
class ScriptedTeacher {
public:
    class Pupil {
    public:
        explicit Pupil(int fd) : m_fd(fd) {}
        ~Pupil() {
            if (m_fd >= 0) {
                ::close(m_fd);
            }
        }
        Pupil(const Pupil&) = delete;
        Pupil& operator=(const Pupil&) = delete;

        void send(const std::string& bytes) {
            std::size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n =
                    ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    throw std::runtime_error("send to the pupil failed");
                }
                sent += static_cast<std::size_t>(n);
            }
        }

        // The next line without CR LF; nothing on timeout or when the pupil closed.
        std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
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

        // The next line that is not "IDLE" (polls come in between everything).
        std::optional<std::string> readLineSkippingPolls(std::chrono::milliseconds timeout) {
            const auto deadline = std::chrono::steady_clock::now() + timeout;
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                auto line = readLine(std::max(left, std::chrono::milliseconds(0)));
                if (!line || *line != "IDLE") {
                    return line;
                }
            }
        }

        std::optional<std::string> readBytes(std::size_t n, std::chrono::milliseconds timeout) {
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

        // Whether the pupil closed its end within the timeout (bytes before that are
        // dropped).
        bool closedWithin(std::chrono::milliseconds timeout) {
            const auto deadline = std::chrono::steady_clock::now() + timeout;
            while (fill(deadline)) {
                m_buffer.clear();
            }
            return m_closed;
        }

        std::string peerAddress() const {
            sockaddr_in address{};
            socklen_t length = sizeof address;
            ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
            return dotted;
        }

        void close() {
            ::close(m_fd);
            m_fd = -1;
        }

    private:
        bool fill(std::chrono::steady_clock::time_point deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_closed) {
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
        bool m_closed = false;
        std::string m_buffer;
    };

    ScriptedTeacher() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 16) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~ScriptedTeacher() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ScriptedTeacher(const ScriptedTeacher&) = delete;
    ScriptedTeacher& operator=(const ScriptedTeacher&) = delete;

    std::uint16_t port() const { return m_port; }

    // The next pupil to connect, or nothing within the timeout.
    std::unique_ptr<Pupil> accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) {
            return nullptr;
        }
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<Pupil>(fd);
    }

    // Stops listening: later connection attempts are refused.
    void stopListening() {
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

} // namespace tavelcast::testing
