#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace tavelcast::testing {

// Watches one folder with inotify for files created and files renamed into it, so a test
// can act at a chosen moment of another process's writes (for example, kill it while a
// file is being written) without polling the folder.
class DirectoryWatch {
public:
    enum class Event { Created, RenamedInto };

    explicit DirectoryWatch(const std::string& dir) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
            if (m_fd >= 0) {
                ::close(m_fd);
            }
            throw std::runtime_error("inotify failed on " + dir);
        }
    }
    ~DirectoryWatch() { ::close(m_fd); }
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // Waits until `count` events for which accept(event, file name) holds have arrived
    // (counted from this call), or the timeout passes; returns whether they did.
    bool waitFor(int count, const std::function<bool(Event, const std::string&)>& accept,
                 std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int seen = 0;
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        while (seen < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            for (ssize_t offset = 0; offset < n && seen < count;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                const std::string name = event->len > 0 ? std::string(event->name) : std::string();
                const Event kind =
                    (event->mask & IN_MOVED_TO) ? Event::RenamedInto : Event::Created;
                if ((event->mask & (IN_CREATE | IN_MOVED_TO)) && accept(kind, name)) {
                    ++seen;
                }
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return true;
    }

private:
    int m_fd = -1;
};

} // namespace tavelcast::testing
