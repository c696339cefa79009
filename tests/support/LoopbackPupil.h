#pragma once

#include "SocketPeer.h"

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

// A minimal pupil for tests: a TCP client on loopback with deadline-bounded reads.
class LoopbackPupil : public SocketPeer {
public:
    // Connects to 127.0.0.1:port, from sourceAddress (another 127.0.0.x) when given.
    explicit LoopbackPupil(std::uint16_t port, const std::string& sourceAddress = {})
        : SocketPeer(connectTo(port, sourceAddress)) {}

    void sendSnapshot(const std::string& payload) {
        send("GetSnapShot\r\n" + std::to_string(payload.size()) + "\r\n" + payload);
    }

    bool closedByServer() const { return closedByPeer(); }

private:
    static int connectTo(std::uint16_t port, const std::string& sourceAddress) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::runtime_error("socket failed");
        }
        if (!sourceAddress.empty()) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
                ::close(fd);
                throw std::runtime_error("bind to source address failed");
            }
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
        }
        return fd;
    }
};

} // namespace tavelcast::testing
