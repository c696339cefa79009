// How long "Lock ALL Keyboards" takes to reach a class of 200 pupils: from the call of
// SendToAllClients("KeyLockON") on the UI thread until the last pupil has the whole line.
// Beside it, in the same run and over the same 200 connections, a bare loop of send() on
// the server's sockets: the floor that the walk, the locks and the deadline checks add to.
//
//   dispatch_bench [pupils=200] [runs=20]

#include "app/Dialogs.h"
#include "net/CommandDispatch.h"
#include "net/NameResolver.h"
#include "net/ProtocolWords.h"
#include "net/TcpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tavelcast;
using Clock = std::chrono::steady_clock;

namespace {

// Pupils only listen; the server's threads just read what little they send.
class ReadOnlyHandlers : public ConnectionHandlers {
public:
    void TCPServerConnect(ClientChannel&) override {}
    void TCPServerExecute(ClientChannel& c) override { c.readLine(); }
    void TCPServerDisconnect(ClientChannel&) override {}
};

class SilentDialogs : public Dialogs {
public:
    void showMessage(const std::string&) override {}
    void showError(const std::string& text) override {
        std::fprintf(stderr, "dispatch error: %s\n", text.c_str());
    }
    bool askYesNo(const std::string&) override { return false; }
    bool inputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

class NoNames : public NameResolver {
public:
    std::optional<std::string> reverseLookup(const std::string&) override { return std::nullopt; }
};

int connectPupil(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

// The server's sockets in this process, keyed by the pupil's local port.
std::map<std::uint16_t, int> serverSockets(std::uint16_t serverPort) {
    std::map<std::uint16_t, int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t a = sizeof local;
        socklen_t b = sizeof peer;
        if (fd > 2 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == serverPort) {
            found[ntohs(peer.sin_port)] = fd;
        }
    }
    if (dir) {
        ::closedir(dir);
    }
    return found;
}

std::uint16_t localPort(int fd) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    return ntohs(local.sin_port);
}

// Runs send() on another thread and returns the time from its start until every pupil has
// received one full line.
double timeToLastPupil(int epoll, std::size_t pupils, const std::function<void()>& send) {
    std::vector<epoll_event> events(pupils);
    std::size_t complete = 0;
    char buffer[4096];
    const auto start = Clock::now();
    std::thread sender(send);
    auto last = start;
    const auto giveUp = start + std::chrono::seconds(30);
    while (complete < pupils && Clock::now() < giveUp) {
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < n; ++i) {
            const ssize_t got = ::recv(events[i].data.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            for (ssize_t k = 0; k < got; ++k) {
                if (buffer[k] == '\n') {
                    ++complete;
                    last = Clock::now();
                }
            }
        }
    }
    sender.join();
    if (complete < pupils) {
        throw std::runtime_error("not every pupil received the line");
    }
    return std::chrono::duration<double, std::milli>(last - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::size_t pupils = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 20;

    ReadOnlyHandlers handlers;
    TcpServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    TcpServer server(handlers, options);
    server.activate();
    SilentDialogs dialogs;
    HostNames hostNames(std::make_shared<NoNames>());
    CommandDispatch dispatch(server, hostNames, dialogs);

    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> pupilFds;
    for (std::size_t i = 0; i < pupils; ++i) {
        pupilFds.push_back(connectPupil(server.localPort()));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = pupilFds.back();
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, pupilFds.back(), &event);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (server.connectionCount() < pupils && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    // The bare baseline writes on the server's own sockets, in the same order.
    const auto sockets = serverSockets(server.localPort());
    std::vector<int> serverFds;
    for (const int fd : pupilFds) {
        const auto it = sockets.find(localPort(fd));
        if (it == sockets.end()) {
            std::fprintf(stderr, "server socket of a pupil not found\n");
            return 1;
        }
        serverFds.push_back(it->second);
    }

    const std::string line = std::string(words::KeyLockON) + "\r\n";
    std::vector<double> viaDispatch;
    std::vector<double> bare;
    for (int run = 0; run < runs; ++run) {
        viaDispatch.push_back(
            timeToLastPupil(epoll, pupils, [&] { dispatch.SendToAllClients(words::KeyLockON); }));
        bare.push_back(timeToLastPupil(epoll, pupils, [&] {
            for (const int fd : serverFds) {
                ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }));
    }
    const double d = median(viaDispatch);
    const double b = median(bare);
    std::printf("pupils %zu, runs %d\n", pupils, runs);
    std::printf("SendToAllClients(KeyLockON) until the last pupil has the line: p50 %.3f ms "
                "(max %.3f ms)\n",
                d, *std::max_element(viaDispatch.begin(), viaDispatch.end()));
    std::printf("bare send() loop over the same sockets:                     p50 %.3f ms "
                "(max %.3f ms)\n",
                b, *std::max_element(bare.begin(), bare.end()));
    std::printf("ratio dispatch / bare: %.2f\n", d / b);
    for (const int fd : pupilFds) {
        ::close(fd);
    }
    ::close(epoll);
    server.shutdown();
    return 0;
}
