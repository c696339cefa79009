#pragma once

#include "LoopbackPupil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace tavelcast::testing {

// The server's own socket for a pupil, when the server runs in this process: the descriptor
// whose local port is the server's and whose peer is the pupil's end. -1 when none is.
inline int serverSideFd(std::uint16_t serverPort, const LoopbackPupil& pupil) {
    sockaddr_in pupilEnd{};
    socklen_t pupilSize = sizeof pupilEnd;
    ::getsockname(pupil.fd(), reinterpret_cast<sockaddr*>(&pupilEnd), &pupilSize);
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int found = -1;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == ::dirfd(dir)) {
            continue;
        }
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t localSize = sizeof local;
        socklen_t peerSize = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            local.sin_family != AF_INET) {
            continue;
        }
        if (ntohs(local.sin_port) == serverPort && peer.sin_port == pupilEnd.sin_port &&
            peer.sin_addr.s_addr == pupilEnd.sin_addr.s_addr) {
            found = fd;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Fills the server's send buffer towards a pupil that never reads, until not one byte more
// fits and nothing drains: the server's next write to it has to wait for its deadline.
inline bool fillUntilBlocked(int fd) {
    if (fd < 0) {
        return false;
    }
    const std::string chunk(65536, 'x');
    for (int round = 0; round < 200; ++round) {
        for (const std::size_t size : {std::size_t{65536}, std::size_t{1024}, std::size_t{1}}) {
            while (::send(fd, chunk.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
        }
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, 200) == 0 &&
            ::send(fd, chunk.data(), 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EAGAIN) {
            return true;
        }
    }
    return false;
}

} // namespace tavelcast::testing
