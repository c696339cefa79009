// A pupil that stops reading while the teacher's screen streams: its connection is dropped
// at the write deadline, and the pupils that keep polling keep their frame rate meanwhile.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "StuckPupil.h"
#include "capture/FakeScreenSource.h"
#include "capture/ScreenFrameService.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto WriteDeadline = 1000ms;

// A screen of noise, so frames are large and a stuck socket fills quickly.
Bitmap noiseScreen(int width, int height) {
    Bitmap bitmap;
    bitmap.reset(width, height);
    std::mt19937 random(7);
    for (auto& byte : bitmap.pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bitmap;
}

// A pupil polling back to back; records when each whole frame arrived.
class PollingPupil {
public:
    PollingPupil(std::uint16_t port, const std::string& source) : m_pupil(port, source) {}

    void run(const std::atomic<bool>& stop) {
        for (int i = 0; i < 100'000 && !stop.load(); ++i) {
            m_pupil.send("IDLE\r\n");
            const auto word = m_pupil.readLine(5s);
            const auto count = m_pupil.readLine(5s);
            if (word != "DoScreenStreaming" || !count ||
                !m_pupil.readBytes(std::stoul(*count), 5s)) {
                m_failed = true;
                return;
            }
            std::lock_guard lock(m_mutex);
            m_frames.push_back(Clock::now());
        }
    }

    int framesSoFar() {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(m_frames.size());
    }
    // Frames per second between from and to, and the longest wait for a frame there.
    std::pair<double, std::chrono::milliseconds> rateBetween(Clock::time_point from,
                                                             Clock::time_point to) {
        std::lock_guard lock(m_mutex);
        int frames = 0;
        Clock::time_point previous = from;
        Clock::duration longest{};
        for (const auto t : m_frames) {
            if (t < from || t > to) {
                continue;
            }
            ++frames;
            longest = std::max(longest, t - previous);
            previous = t;
        }
        longest = std::max(longest, to - previous);
        const double seconds = std::chrono::duration<double>(to - from).count();
        return {frames / seconds, std::chrono::duration_cast<std::chrono::milliseconds>(longest)};
    }
    bool failed() const { return m_failed; }

private:
    LoopbackPupil m_pupil;
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_frames;
    bool m_failed = false;
};

} // namespace

TEST(FaultStuckStreamer, DroppedAtTheWriteDeadlineWhileOthersKeepTheirFrameRate) {
    auto screen = std::make_shared<FakeScreenSource>(noiseScreen(320, 240));
    ScreenFrameService frames(screen, [](const std::string&) {});
    TcpServerOptions options;
    options.writeDeadline = WriteDeadline;
    InProcessServer server(options, &frames);
    server.state.setStreamMode(StreamModeValue::DoScreenStreaming);

    LoopbackPupil stuck(server.port(), "127.0.0.2");
    std::vector<std::unique_ptr<PollingPupil>> others;
    for (const char* source : {"127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        others.push_back(std::make_unique<PollingPupil>(server.port(), source));
    }
    ASSERT_TRUE(server.notifying.waitConnects(4));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& pupil : others) {
        threads.emplace_back([&pupil, &stop] { pupil->run(stop); });
    }
    struct Joiner {
        std::atomic<bool>& stop;
        std::vector<std::thread>& threads;
        ~Joiner() {
            stop = true;
            for (auto& t : threads) {
                t.join();
            }
        }
    } joiner{stop, threads};

    // Baseline: the frame rate with nobody stuck (frames the service made per second,
    // shared by every poll within 1/30 s) and what each pupil received.
    ASSERT_TRUE(eventually([&] {
        return std::all_of(others.begin(), others.end(),
                           [](auto& p) { return p->framesSoFar() >= 5; });
    }));
    const auto baselineStart = Clock::now();
    const auto madeAtBaselineStart = frames.framesMade();
    // Half a second of frames at 30 per second.
    ASSERT_TRUE(eventually([&] { return frames.framesMade() >= madeAtBaselineStart + 15; }, 30s));
    const auto baselineEnd = Clock::now();
    const auto madeAtBaselineEnd = frames.framesMade();

    // The stuck pupil: its socket is full and it never reads; then it polls.
    ASSERT_TRUE(fillUntilBlocked(serverSideFd(server.port(), stuck)));
    const auto stuckAt = Clock::now();
    const auto madeAtStuck = frames.framesMade();
    stuck.send("IDLE\r\n");
    ASSERT_TRUE(server.notifying.waitDisconnects(1, WriteDeadline + 10s));
    const auto droppedAt = Clock::now();
    const auto madeAtDrop = frames.framesMade();
    const auto dropAfter =
        std::chrono::duration_cast<std::chrono::milliseconds>(droppedAt - stuckAt);
    EXPECT_GE(dropAfter, WriteDeadline - 50ms) << "dropped before its deadline";
    EXPECT_LT(dropAfter, WriteDeadline + 3s) << "dropped long after its deadline";
    EXPECT_TRUE(eventually([&] { return server.server.connectionCount() == 3u; }))
        << "the stuck pupil is still in the live list";

    const auto perSecond = [](std::uint64_t made, Clock::time_point from, Clock::time_point to) {
        return static_cast<double>(made) / std::chrono::duration<double>(to - from).count();
    };
    const double baseFps =
        perSecond(madeAtBaselineEnd - madeAtBaselineStart, baselineStart, baselineEnd);
    const double stuckFps = perSecond(madeAtDrop - madeAtStuck, stuckAt, droppedAt);
    std::cout << "[figure] screen frames made: " << baseFps << "/s before, " << stuckFps
              << "/s while a pupil was stuck; stuck pupil dropped after " << dropAfter.count()
              << " ms (write deadline " << WriteDeadline.count() << " ms)\n";
    EXPECT_GE(stuckFps, 0.5 * baseFps) << "the frame rate fell while a pupil was stuck";
    for (std::size_t i = 0; i < others.size(); ++i) {
        const auto [baseRate, baseGap] = others[i]->rateBetween(baselineStart, baselineEnd);
        const auto [stuckRate, stuckGap] = others[i]->rateBetween(stuckAt, droppedAt);
        std::cout << "[figure] pupil " << i << ": " << baseRate << " answers/s before, "
                  << stuckRate << " answers/s while a pupil was stuck (longest wait "
                  << stuckGap.count() << " ms, before " << baseGap.count() << " ms)\n";
        EXPECT_GE(stuckRate, 10.0) << "pupil " << i << " was hardly served";
        EXPECT_LT(stuckGap, WriteDeadline / 2) << "pupil " << i << " waited on the stuck one";
        EXPECT_FALSE(others[i]->failed());
    }
}
