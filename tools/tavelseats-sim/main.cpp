// tavelseats-sim: many simulated pupils at once, each one TCP connection to a Tavelcast
// server on loopback, speaking the pupil side of the protocol. Used by the integration
// tests, the benchmarks and the demo. See --help.

#include "Pupil.h"
#include "RecordFile.h"
#include "RunControl.h"
#include "RunReport.h"
#include "SimOptions.h"
#include "SnapshotVerifier.h"
#include "TestCard.h"

#include <QByteArray>
#include <QGuiApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

using namespace tavelcast::sim;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// After the run ends, how long pupils may wait for the answers to snapshots already sent.
constexpr auto DrainGrace = 2s;

std::unique_ptr<QGuiApplication> startOffscreenGui(char* programName) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char* argv[] = {programName, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

int run(const SimOptions& options, char* programName) {
    std::unique_ptr<QGuiApplication> gui;
    if (options.usesTestCard() || !options.writeCard.empty()) {
        gui = startOffscreenGui(programName);
    }
    if (!options.writeCard.empty()) {
        const auto card = renderTestCard(pupilName(options.namePrefix, 0, options.clients), 0,
                                         options.cardWidth, options.cardHeight);
        if (!writeFile(options.writeCard, card)) {
            std::fprintf(stderr, "tavelseats-sim: cannot write %s\n", options.writeCard.c_str());
            return 1;
        }
        return 0;
    }

    // What each pupil sends.
    std::vector<Payload> payloads(static_cast<std::size_t>(options.clients));
    if (!options.jpegFile.empty()) {
        std::ifstream file(options.jpegFile, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "tavelseats-sim: cannot read %s\n", options.jpegFile.c_str());
            return 1;
        }
        auto bytes = std::make_shared<const std::vector<std::uint8_t>>(
            std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        std::fill(payloads.begin(), payloads.end(), bytes);
    } else if (options.usesTestCard()) {
        // About 10 ms a card: a class of 500 is rendered on every core (painting on a
        // QImage is allowed off the GUI thread).
        std::atomic<int> next{0};
        std::exception_ptr failure;
        std::mutex failureMutex;
        auto render = [&] {
            for (int i = next++; i < options.clients; i = next++) {
                try {
                    payloads[static_cast<std::size_t>(i)] =
                        std::make_shared<const std::vector<std::uint8_t>>(
                            renderTestCard(pupilName(options.namePrefix, i, options.clients), i,
                                           options.cardWidth, options.cardHeight));
                } catch (...) {
                    const std::lock_guard lock(failureMutex);
                    failure = std::current_exception();
                }
            }
        };
        {
            std::vector<std::jthread> renderers;
            const int workers =
                std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
            for (int w = 1; w < std::min(workers, options.clients); ++w) {
                renderers.emplace_back(render);
            }
            render();
        } // joined here
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    // SIGINT and SIGTERM are taken by the main thread only (sigtimedwait); every pupil
    // thread inherits the blocked mask. Writes use MSG_NOSIGNAL; SIGPIPE is ignored anyway.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    RunControl control;
    std::vector<std::unique_ptr<Pupil>> pupils;
    for (int i = 0; i < options.clients; ++i) {
        pupils.push_back(
            std::make_unique<Pupil>(i, options, control, payloads[static_cast<std::size_t>(i)]));
    }
    std::vector<std::thread> threads;
    threads.reserve(pupils.size());
    // Whatever happens below, every pupil thread is stopped and joined before they go.
    struct JoinAll {
        RunControl& control;
        std::vector<std::thread>& threads;
        ~JoinAll() {
            control.requestStop();
            for (auto& thread : threads) {
                if (thread.joinable()) {
                    thread.join();
                }
            }
        }
    } joinAll{control, threads};
    std::string endReason;
    try {
        for (auto& pupil : pupils) {
            threads.emplace_back([&p = *pupil] { p.run(); });
        }
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tavelseats-sim: cannot start pupil thread %zu: %s\n", threads.size(),
                     error.what());
        endReason = "thread_limit";
    }

    const double limit = options.duration > 0 ? options.duration : MaxRunSeconds;
    bool readyWritten = false;
    bool readyFailed = false;
    while (endReason.empty()) {
        const timespec tick{0, 20'000'000};
        if (sigtimedwait(&endSignals, nullptr, &tick) > 0) {
            endReason = "signal";
            break;
        }
        std::size_t connected = 0, attempted = 0, finished = 0;
        for (const auto& pupil : pupils) {
            connected += pupil->connected() ? 1 : 0;
            attempted += pupil->attempted() ? 1 : 0;
            finished += pupil->finished() ? 1 : 0;
        }
        if (!options.readyFile.empty() && !readyWritten && !readyFailed &&
            connected == pupils.size()) {
            readyWritten = touch(options.readyFile);
            if (!readyWritten) {
                readyFailed = true;
                std::fprintf(stderr, "tavelseats-sim: cannot create ready file %s\n",
                             options.readyFile.c_str());
            }
        }
        const double elapsed =
            std::chrono::duration<double>(Clock::now() - control.start()).count();
        if (elapsed >= limit) {
            endReason = options.duration > 0 ? "duration" : "time_cap";
        } else if (finished == pupils.size()) {
            endReason = "all_closed"; // nobody will connect again
        } else if (options.exitWhenClosed && attempted == pupils.size() && connected == 0) {
            endReason = "all_closed";
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - control.start()).count();

    // Let the answers to snapshots already on the wire arrive, then stop everyone.
    control.requestDrain();
    const auto drainUntil = Clock::now() + DrainGrace;
    while (Clock::now() < drainUntil) {
        int awaiting = 0;
        for (const auto& pupil : pupils) {
            awaiting += pupil->connected() ? pupil->awaitingAcks() : 0;
        }
        if (awaiting == 0) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    control.requestStop();
    for (auto& thread : threads) {
        thread.join();
    }

    int exitCode = readyFailed ? 1 : 0;
    if (!options.recordFile.empty() && !writeRecordFile(options.recordFile, pupils)) {
        std::fprintf(stderr, "tavelseats-sim: cannot write record file %s\n",
                     options.recordFile.c_str());
        exitCode = 1;
    }
    std::optional<VerifyResult> verify;
    if (!options.verifyDir.empty()) {
        verify = verifySnapshots(options.verifyDir, options.verifyName, pupils);
    }
    const RunReport report(options, pupils, elapsed, endReason, readyWritten, verify);
    const std::string summary = options.json ? report.toJson() : report.toText();
    std::fwrite(summary.data(), 1, summary.size(), stdout);
    std::fflush(stdout);

    if (report.totals().framingErrors > 0) {
        return 2;
    }
    if (verify && !verify->passed()) {
        if (verify->filesChecked == 0) {
            std::fprintf(stderr, "tavelseats-sim: --verify-dir: no pupil sent a snapshot, "
                                 "nothing was verified\n");
        }
        return 3;
    }
    if (report.totals().connections == 0) {
        return 4;
    }
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    SimOptions options;
    try {
        options = parseSimOptions(args);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tavelseats-sim: %s\n", error.what());
        return 1;
    }
    if (options.help) {
        const std::string usage = simUsage();
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    try {
        return run(options, argv[0]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavelseats-sim: %s\n", error.what());
        return 1;
    }
}
