#pragma once

#include "LoopbackPupil.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast::testing {

// A port that nothing holds on 127.0.0.1 right now: bind port 0, note it, close.
inline std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok) {
        throw std::runtime_error("cannot bind 127.0.0.1:0");
    }
    return ntohs(local.sin_port);
}

// True when a pupil can connect to 127.0.0.1:port now.
inline bool canConnect(std::uint16_t port) {
    try {
        LoopbackPupil probe(port);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tavelcast::testing
