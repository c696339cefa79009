// The disallowed list after the editor closes: save, build the line, push it to every
// connected pupil. Measured from "close" until the last pupil has the list line, beside a
// bare loop of send() calls carrying the same bytes to the same sockets, in the same run.
//
//   disallow_push_bench [--pupils N] [--rounds N] [--names N]
//
// Everything runs on 127.0.0.1 in this one process: the real TCP server and connection
// handler, and N plain sockets as pupils.

#include "app/Dialogs.h"
#include "disallow/DisallowedStore.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace tavelcast;
using Clock = std::chrono::steady_clock;

namespace {

// The dispatch reports failed pupils through the dialogs seam; here they go to stderr.
class ErrorsToStderr : public Dialogs {
public:
    void showMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void showError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    bool askYesNo(const std::string&) override { return false; }
    bool inputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

class NoNames : public NameResolver {
public:
    std::optional<std::string> reverseLookup(const std::string&) override { return std::nullopt; }
};

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

Fd connectPupil(std::uint16_t port) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    return s;
}

std::string endpoint(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// The server's end of each pupil's connection, found among this process's descriptors by
// its peer address, so the baseline writes to exactly the sockets the push uses.
std::vector<int> serverEnds(const std::vector<Fd>& pupils) {
    std::map<std::string, std::size_t> byLocal;
    for (std::size_t i = 0; i < pupils.size(); ++i) {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ::getsockname(pupils[i].fd, reinterpret_cast<sockaddr*>(&local), &len);
        byLocal[endpoint(local)] = i;
    }
    std::vector<int> ends(pupils.size(), -1);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    for (int fd = 0; fd < static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536)); ++fd) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
            peer.sin_family != AF_INET) {
            continue;
        }
        if (const auto it = byLocal.find(endpoint(peer)); it != byLocal.end()) {
            ends[it->second] = fd;
        }
    }
    return ends;
}

void sendAllRaw(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else {
            throw std::runtime_error("baseline send failed");
        }
    }
}

// Reads until every pupil has exactly `expected`; returns the time the last one had it.
Clock::time_point receiveAll(const std::vector<Fd>& pupils, const std::string& expected) {
    std::vector<std::string> got(pupils.size());
    std::vector<pollfd> fds(pupils.size());
    for (std::size_t i = 0; i < pupils.size(); ++i) {
        fds[i] = {pupils[i].fd, POLLIN, 0};
    }
    std::size_t complete = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    char buffer[65536];
    while (complete < pupils.size()) {
        if (Clock::now() > deadline) {
            throw std::runtime_error("pupils did not receive the list in 30 s");
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) {
            throw std::runtime_error("poll failed");
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & POLLIN)) {
                continue;
            }
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                throw std::runtime_error("a pupil's connection closed");
            }
            got[i].append(buffer, static_cast<std::size_t>(n));
            if (got[i].size() >= expected.size()) {
                if (got[i] != expected) {
                    throw std::runtime_error("a pupil received the wrong bytes");
                }
                fds[i].fd = -1; // done with this one
                ++complete;
            }
        }
    }
    return Clock::now();
}

struct Stats {
    double median, p90, min;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)], v.front()};
}

int argInt(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::atoi(argv[i + 1]);
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const int pupilCount = argInt(argc, argv, "--pupils", 200);
    const int rounds = argInt(argc, argv, "--rounds", 30);
    const int nameCount = std::clamp(argInt(argc, argv, "--names", 30), 1, 101);

    char folderPattern[] = "/tmp/disallow-bench-XXXXXX";
    if (::mkdtemp(folderPattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string appDir = std::string(folderPattern) + "/";
    std::filesystem::create_directory(appDir + "Storage");

    DisallowedStore store(appDir);
    ClientRegistry registry;
    ServerState state;
    HostNames hostNames(std::make_shared<NoNames>());
    ConnectionHandler handler(
        ConnectionHandler::Deps{registry, hostNames, state, appDir + "Storage/", &store, nullptr});
    TcpServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    TcpServer server(handler, options);
    ErrorsToStderr dialogs;
    CommandDispatch dispatch(server, hostNames, dialogs);
    server.activate();

    std::vector<Fd> pupils;
    for (int i = 0; i < pupilCount; ++i) {
        pupils.push_back(connectPupil(server.localPort()));
    }
    const auto connectDeadline = Clock::now() + std::chrono::seconds(30);
    while (server.connectionCount() < pupils.size() && Clock::now() < connectDeadline) {
        pollfd none{-1, 0, 0};
        ::poll(&none, 1, 2);
    }
    if (server.connectionCount() != pupils.size()) {
        std::fprintf(stderr, "only %zu of %d pupils connected\n", server.connectionCount(),
                     pupilCount);
        return 1;
    }
    const std::vector<int> ends = serverEnds(pupils);
    if (std::count(ends.begin(), ends.end(), -1) != 0) {
        std::fprintf(stderr, "could not find the server's end of every connection\n");
        return 1;
    }

    // Two lists that alternate, so every save changes the file.
    std::vector<std::string> lists[2];
    for (int n = 0; n < nameCount; ++n) {
        lists[0].push_back("process" + std::to_string(n) + ".exe");
        lists[1].push_back("program" + std::to_string(n) + ".exe");
    }

    std::vector<double> closeToLast, saveOnly, pushToLast, bare;
    for (int r = 0; r < rounds; ++r) {
        const auto& names = lists[r % 2];

        // What "&Close" and the tray entry do after it: save, then build and push.
        const auto t0 = Clock::now();
        store.SaveDisallowedList(names);
        const auto t1 = Clock::now();
        const std::string line = store.BuildDisallowedList();
        const auto report = dispatch.SendLinesToAllClients({"GetDisallowedApps", line});
        if (!report.failures.empty()) {
            std::fprintf(stderr, "%s\n", CommandDispatch::failureMessage(report.failures).c_str());
            return 1;
        }
        const std::string expected = "GetDisallowedApps\r\n" + line + "\r\n";
        const auto tLast = receiveAll(pupils, expected);
        closeToLast.push_back(ms(tLast - t0));
        saveOnly.push_back(ms(t1 - t0));
        pushToLast.push_back(ms(tLast - t1));

        // The bare loop: the same bytes, one send() per socket.
        const auto b0 = Clock::now();
        for (const int fd : ends) {
            sendAllRaw(fd, expected);
        }
        const auto bLast = receiveAll(pupils, expected);
        bare.push_back(ms(bLast - b0));
    }

    const Stats c = stats(closeToLast), s = stats(saveOnly), p = stats(pushToLast), b = stats(bare);
    const std::string line = store.BuildDisallowedList();
    std::printf("disallow_push_bench: %d pupils on 127.0.0.1, %d names (list line %zu bytes), "
                "%d rounds\n",
                pupilCount, nameCount, line.size(), rounds);
    std::printf("  %-40s median %8.3f ms  p90 %8.3f ms  min %8.3f ms\n",
                "close -> last pupil has the line", c.median, c.p90, c.min);
    std::printf("  %-40s median %8.3f ms  p90 %8.3f ms  min %8.3f ms\n",
                "  of which save (one atomic replace)", s.median, s.p90, s.min);
    std::printf("  %-40s median %8.3f ms  p90 %8.3f ms  min %8.3f ms\n",
                "  of which build + push -> last pupil", p.median, p.p90, p.min);
    std::printf("  %-40s median %8.3f ms  p90 %8.3f ms  min %8.3f ms\n",
                "baseline: bare send() loop -> last", b.median, b.p90, b.min);
    std::printf("  ratio close->last / bare (median): %.2fx\n", c.median / b.median);
    std::printf("  ratio build+push->last / bare (median): %.2fx\n", p.median / b.median);

    server.shutdown();
    std::filesystem::remove_all(appDir);
    return 0;
}
