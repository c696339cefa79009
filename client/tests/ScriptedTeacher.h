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

#include "SocketPeer.h"

#include <algorithm>

namespace tavelcast::testing {

// A teacher whose every byte the test writes: a listening socket on 127.0.0.1 and a free
// port, and the pupils it accepts, each read line by line with deadlines.
class ScriptedTeacher {
public:
    class Pupil : public SocketPeer {
    public:
        explicit Pupil(int fd) : SocketPeer(fd) {}

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

        // Whether the pupil closed its end within the timeout (bytes before that are
        // dropped).
        bool closedWithin(std::chrono::milliseconds timeout) {
            const bool closed = waitClosed(timeout);
            dropPending();
            return closed;
        }

        std::string peerAddress() const {
            sockaddr_in address{};
            socklen_t length = sizeof address;
            ::getpeername(fd(), reinterpret_cast<sockaddr*>(&address), &length);
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
            return dotted;
        }
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
