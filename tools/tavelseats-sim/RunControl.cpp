#include "RunControl.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tavelcast::sim {

namespace {

int makeEventFd() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    return fd;
}

void raise(int fd) {
    const std::uint64_t one = 1;
    // The counter cannot overflow from a handful of raises; a failed write leaves it raised
    // already.
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

} // namespace

RunControl::RunControl() {
    m_drainFd = makeEventFd();
    try {
        m_stopFd = makeEventFd();
    } catch (...) {
        ::close(m_drainFd);
        throw;
    }
}

RunControl::~RunControl() {
    ::close(m_drainFd);
    ::close(m_stopFd);
}

void RunControl::requestDrain() {
    if (!m_draining.exchange(true)) {
        raise(m_drainFd);
    }
}

void RunControl::requestStop() {
    requestDrain();
    if (!m_stopping.exchange(true)) {
        raise(m_stopFd);
    }
}

bool RunControl::waitForSignal(std::chrono::milliseconds timeout, bool watchDrain) const {
    pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {m_drainFd, POLLIN, 0}};
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int rc =
            ::poll(fds, watchDrain ? 2 : 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (rc > 0) {
            return true;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

} // namespace tavelcast::sim
