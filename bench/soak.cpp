// Load and soak: many simulated pupils against the server core for minutes, each sending a
// snapshot every second, polling for screen frames while screen sending is on, and
// receiving a command from the teacher's side every second. At the end it checks:
//   snapshots  every stored file equals the last payload its pupil sent (the sim verifies)
//   commands   every pupil received every command, in order
//   memory     peak RSS, and growth after warm-up
//   threads/fds back at their baseline once the pupils have gone
//   latency    p99 of "IDLE" after a snapshot
// Loopback only; bounded by --seconds.
//
//   soak [--pupils 500] [--seconds 300] [--snapshot-bytes 153600] [--sim PATH]

#include "../tests/support/ChildProcess.h"
#include "../tests/support/TempDir.h"

#include "app/Dialogs.h"
#include "capture/FakeScreenSource.h"
#include "capture/ScreenFrameService.h"
#include "net/ClientRegistry.h"
#include "net/CommandDispatch.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace tavelcast;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

class CountingDialogs : public Dialogs {
public:
    void showMessage(const std::string& text) override { note(text); }
    void showError(const std::string& text) override { note(text); }
    bool askYesNo(const std::string&) override { return false; }
    bool inputQuery(const std::string&, const std::string&, std::string&) override { return false; }
    std::atomic<int> boxes{0};

private:
    void note(const std::string& text) {
        ++boxes;
        std::fprintf(stderr, "box: %s\n", text.substr(0, 200).c_str());
    }
};

std::size_t countEntries(const char* folder) {
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); ++it) {
        ++n;
    }
    return n;
}

long rssKiB(const char* key = "VmRSS:") {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + std::string(key).size());
        }
    }
    return -1;
}

// The value after "key": in a flat JSON text (the sim's summary), as text.
std::string jsonValue(const std::string& json, const std::string& key, std::size_t from = 0) {
    const auto at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) {
        return "?";
    }
    const auto start = at + key.size() + 3;
    const auto end = json.find_first_of(",}", start);
    return json.substr(start, end - start);
}

Bitmap testScreen(int width, int height) {
    Bitmap bitmap;
    bitmap.reset(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = bitmap.pixels.data() + y * bitmap.stride + x * 4;
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = static_cast<std::uint8_t>((x ^ y) * 3);
        }
    }
    return bitmap;
}

} // namespace

int main(int argc, char** argv) {
    int pupils = 500;
    int seconds = 300;
    int snapshotBytes = 153600;
    std::string sim = TAVELSEATS_SIM_EXE;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--pupils") {
            pupils = std::atoi(argv[i + 1]);
        } else if (option == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else if (option == "--snapshot-bytes") {
            snapshotBytes = std::atoi(argv[i + 1]);
        } else if (option == "--sim") {
            sim = argv[i + 1];
        }
    }
    if (pupils < 1 || pupils > 1000 || seconds < 5 || seconds > 3600) {
        std::fprintf(stderr, "usage: soak [--pupils 1..1000] [--seconds 5..3600]\n");
        return 1;
    }

    testing::TempDir work;
    fs::create_directory(work.path() / "Storage");
    const std::string storage = (work.path() / "Storage").string() + "/";

    ClientRegistry registry;
    ServerState state;
    HostNames hostNames(std::make_shared<GetnameinfoResolver>());
    auto screen = std::make_shared<FakeScreenSource>(testScreen(640, 480));
    ScreenFrameService frames(screen, [](const std::string& line) {
        std::fprintf(stderr, "capture: %s\n", line.c_str());
    });
    ConnectionHandler handler(
        ConnectionHandler::Deps{registry, hostNames, state, storage, nullptr, &frames});
    TcpServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    TcpServer server(handler, options);
    server.activate();
    CountingDialogs dialogs;
    CommandDispatch dispatch(server, hostNames, dialogs);
    state.setStreamMode(StreamModeValue::DoScreenStreaming);

    const std::size_t baseThreads = countEntries("/proc/self/task");
    const std::size_t baseFds = countEntries("/proc/self/fd");
    const std::string record = (work.path() / "record.txt").string();
    const std::string ready = (work.path() / "ready").string();

    std::printf("soak: %d pupils for %d s, %d-byte snapshots every second, polling 1/s for "
                "frames, a command every second\n",
                pupils, seconds, snapshotBytes);
    std::fflush(stdout);
    testing::ChildProcess pupilsProcess(
        sim, {"--port", std::to_string(server.localPort()), "--clients", std::to_string(pupils),
              "--distinct-sources", "--connect-rate", "100", "--payload-size",
              std::to_string(snapshotBytes), "--snapshot-rate", "1", "--poll-rate", "1",
              "--duration", std::to_string(seconds), "--record", record, "--ready-file", ready,
              "--verify-dir", storage, "--json"});

    // Commands start once every pupil is connected, so each must receive all of them.
    const auto start = Clock::now();
    while (!fs::exists(ready) && Clock::now() - start < std::chrono::seconds(60)) {
        if (pupilsProcess.waitExit(std::chrono::milliseconds(200))) {
            break;
        }
    }
    int commandsSent = 0;
    long warmRss = -1;
    long peakRss = 0;
    std::vector<long> lateRss;
    std::optional<int> status;
    while (!(status = pupilsProcess.waitExit(std::chrono::seconds(1)))) {
        const auto elapsed = Clock::now() - start;
        if (elapsed < std::chrono::seconds(seconds - 3)) {
            dispatch.SendToAllClients(commandsSent % 2 == 0 ? "KeyLockON" : "KeyLockOFF");
            ++commandsSent;
        }
        const long rss = rssKiB();
        peakRss = std::max(peakRss, rss);
        if (warmRss < 0 && elapsed >= std::chrono::seconds(std::min(60, seconds / 3))) {
            warmRss = rss;
        }
        if (elapsed >= std::chrono::seconds(seconds * 2 / 3)) {
            lateRss.push_back(rss);
        }
        if (elapsed > std::chrono::seconds(seconds + 120)) {
            std::fprintf(stderr, "the pupils did not end\n");
            return 1;
        }
    }
    const auto drainStart = Clock::now();
    while (server.connectionCount() > 0 && Clock::now() - drainStart < std::chrono::seconds(30)) {
        pupilsProcess.waitExit(std::chrono::milliseconds(100));
    }
    // Finished connection threads are joined by the acceptor's reaper within half a second.
    const auto reapStart = Clock::now();
    while (countEntries("/proc/self/task") > baseThreads &&
           Clock::now() - reapStart < std::chrono::seconds(10)) {
        pupilsProcess.waitExit(std::chrono::milliseconds(100));
    }
    const std::size_t endThreads = countEntries("/proc/self/task");
    const std::size_t endFds = countEntries("/proc/self/fd");

    // Every pupil's commands, in order.
    std::map<std::string, std::vector<std::string>> received;
    {
        std::ifstream in(record);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string ms, pupil, word;
            fields >> ms >> pupil >> word;
            if (word == "KeyLockON" || word == "KeyLockOFF") {
                received[pupil].push_back(word);
            }
        }
    }
    int pupilsComplete = 0;
    for (const auto& [pupil, words] : received) {
        bool inOrder = static_cast<int>(words.size()) == commandsSent;
        for (std::size_t i = 0; inOrder && i < words.size(); ++i) {
            inOrder = words[i] == (i % 2 == 0 ? "KeyLockON" : "KeyLockOFF");
        }
        pupilsComplete += inOrder ? 1 : 0;
    }

    const std::string json = pupilsProcess.output().substr(pupilsProcess.output().find('{'));
    const auto latency = json.find("\"latency_ms\"");
    const auto verify = json.find("\"verify\"");
    long lateMax = 0, lateMin = 1L << 40;
    for (const long r : lateRss) {
        lateMax = std::max(lateMax, r);
        lateMin = std::min(lateMin, r);
    }
    std::printf("snapshots: sent %s, acked %s; stored files match %s, mismatch %s, missing %s\n",
                jsonValue(json, "snapshots_sent").c_str(), jsonValue(json, "acks").c_str(),
                jsonValue(json, "matches", verify).c_str(),
                jsonValue(json, "mismatches", verify).c_str(),
                jsonValue(json, "missing", verify).c_str());
    std::printf("frames: %s received, %s bytes, framing errors %s; disconnects by server %s\n",
                jsonValue(json, "frames").c_str(), jsonValue(json, "frame_bytes").c_str(),
                jsonValue(json, "framing_errors").c_str(),
                jsonValue(json, "disconnects_by_server").c_str());
    std::printf("commands: %d sent, %d of %zu pupils received every one in order; %d error "
                "boxes\n",
                commandsSent, pupilsComplete, received.size(), dialogs.boxes.load());
    std::printf("IDLE after snapshot: p50 %s ms, p99 %s ms, max %s ms\n",
                jsonValue(json, "p50", latency).c_str(), jsonValue(json, "p99", latency).c_str(),
                jsonValue(json, "max", latency).c_str());
    std::printf("memory: peak RSS %.1f MiB (VmHWM %.1f MiB); after warm-up %.1f MiB; last third "
                "%.1f..%.1f MiB\n",
                peakRss / 1024.0, rssKiB("VmHWM:") / 1024.0, warmRss / 1024.0, lateMin / 1024.0,
                lateMax / 1024.0);
    // After: one more descriptor, the pipe that carries the pupils' summary.
    std::printf("threads: %zu before, %zu after; file descriptors: %zu before, %zu after "
                "(one is the pupils' output pipe)\n",
                baseThreads, endThreads, baseFds, endFds);
    const bool ok = status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0 &&
                    pupilsComplete == pupils && endThreads <= baseThreads && endFds <= baseFds + 1;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
