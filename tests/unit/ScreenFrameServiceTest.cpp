#include "CaptureTestSupport.h"

#include "capture/CaptureError.h"
#include "capture/FakeScreenSource.h"
#include "capture/ScreenFrameService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace tavelcast;
using namespace tavelcast::test;
using namespace std::chrono_literals;

namespace {

// A clock that moves only when the test says so.
struct ManualClock {
    std::atomic<std::int64_t> nanos{1'000'000'000};
    void advance(std::chrono::nanoseconds d) { nanos += d.count(); }
    ScreenFrameService::Clock function() {
        return [this] {
            return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nanos.load()));
        };
    }
};

PointerImage magentaSquare(int x, int y) {
    PointerImage p;
    p.width = p.height = 16;
    p.hotX = p.hotY = 8;
    p.x = x;
    p.y = y;
    p.argb.assign(256, 0xFFFF00FF);
    return p;
}

} // namespace

TEST(ScreenFrameService, FrameIsACompleteJpegOfTheScreenWithThePointer) {
    const Bitmap screen = blockPicture(256, 160);
    auto source = std::make_shared<FakeScreenSource>(screen);
    source->setPointer(magentaSquare(96, 64));
    ScreenFrameService service(source, {});

    const auto frame = service.frame();
    ASSERT_TRUE(frame);
    const JpegLayout layout = inspectJpeg(*frame);
    EXPECT_TRUE(layout.startsWithSoi);
    EXPECT_TRUE(layout.endsWithEoi);
    EXPECT_EQ(layout.frameComponents, 3);

    const auto decoded = decodeJpeg(*frame);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, 256);
    ASSERT_EQ(decoded->height, 160);
    // The pointer covers 88..103 x 56..71; its middle is magenta.
    EXPECT_LE(maxChannelDifference(pixelAt(*decoded, 96, 64), {255, 0, 255}), 8);
    // Far from the pointer the screen comes back.
    for (int y = 8; y < 160; y += 32)
        for (int x = 8; x < 256; x += 32)
            if (x < 80 || x > 112 || y < 48 || y > 80) {
                EXPECT_LE(maxChannelDifference(pixelAt(*decoded, x + 8, y + 8),
                                               blockColour((x + 8) / 32, (y + 8) / 32)),
                          6);
            }
}

TEST(ScreenFrameService, NewDisplaySizeGivesAFrameOfTheNewSize) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(320, 200));
    ManualClock clock;
    ScreenFrameService service(source, {}, {.clock = clock.function()});

    const auto first = service.frame();
    source->setScreen(blockPicture(160, 96));
    clock.advance(1s);
    const auto second = service.frame();
    EXPECT_EQ(inspectJpeg(*first).frameWidth, 320);
    EXPECT_EQ(inspectJpeg(*first).frameHeight, 200);
    EXPECT_EQ(inspectJpeg(*second).frameWidth, 160);
    EXPECT_EQ(inspectJpeg(*second).frameHeight, 96);
}

TEST(ScreenFrameService, CallersDuringAFrameShareItAndCauseOneCapture) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(64, 48));
    // A clock that jumps a second on every reading: the 1/30 s window never applies, so
    // only sharing of the frame in the making can explain a single capture.
    std::atomic<std::int64_t> ticks{0};
    ScreenFrameService service(source, {}, {.clock = [&ticks] {
                                   return std::chrono::steady_clock::time_point(
                                       std::chrono::seconds(++ticks));
                               }});

    constexpr int kCallers = 8;
    source->closeGate();
    std::vector<ScreenFrameService::Frame> frames(kCallers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCallers; ++i)
        threads.emplace_back([&, i] { frames[i] = service.frame(); });

    // One caller captures (held at the gate); the others wait for its frame.
    const bool lined = waitUntil(
        [&] { return source->captures() == 1 && service.waitingCallers() == kCallers - 1; });
    source->openGate();
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(lined) << "captures " << source->captures() << ", waiting "
                       << service.waitingCallers();

    EXPECT_EQ(source->captures(), 1);
    EXPECT_EQ(service.framesMade(), 1u);
    for (const auto& f : frames) {
        ASSERT_TRUE(f);
        EXPECT_EQ(f.get(), frames[0].get()) << "every caller holds the very same bytes";
    }
}

TEST(ScreenFrameService, FrameIsReusedWithinTheWindowOnly) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(64, 48));
    ManualClock clock;
    ScreenFrameService service(source, {}, {.clock = clock.function()});

    const auto a = service.frame();
    clock.advance(20ms);
    const auto b = service.frame(); // within 1/30 s of the end of a
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(source->captures(), 1);

    clock.advance(14ms); // 34 ms after a: past the window
    const auto c = service.frame();
    EXPECT_NE(a.get(), c.get());
    EXPECT_EQ(source->captures(), 2);
}

TEST(ScreenFrameService, WithSharingOffEveryCallCaptures) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(64, 48));
    ManualClock clock; // never moves: with sharing on, all would share one frame
    ScreenFrameService service(
        source, {}, {.sharing = ScreenFrameService::Sharing::Off, .clock = clock.function()});
    constexpr int kThreads = 4, kEach = 3;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < kEach; ++k)
                if (inspectJpeg(*service.frame()).endsWithEoi)
                    ++good;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kThreads * kEach);
    EXPECT_EQ(source->captures(), kThreads * kEach);
    EXPECT_EQ(service.framesMade(), static_cast<std::uint64_t>(kThreads * kEach));
}

TEST(ScreenFrameService, FailureThrowsEveryTimeAndIsLoggedOnce) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(64, 48));
    ManualClock clock;
    FailureLog log;
    ScreenFrameService service(source, log.callback(), {.clock = clock.function()});

    const auto good = service.frame();
    source->setFailure("cannot open X display \":7\"");
    // Still within the window: the good frame is served and nothing fails.
    EXPECT_EQ(service.frame().get(), good.get());
    clock.advance(1s);
    for (int i = 0; i < 3; ++i) {
        try {
            service.frame();
            ADD_FAILURE() << "frame() returned during a failure";
        } catch (const CaptureError& e) {
            EXPECT_NE(std::string(e.what()).find("cannot open X display"), std::string::npos);
        }
    }
    const auto lines = log.snapshot();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cannot open X display \":7\""), std::string::npos);

    // The display comes back: frames flow again, and nothing more is logged.
    source->setFailure("");
    EXPECT_TRUE(inspectJpeg(*service.frame()).endsWithEoi);
    source->setFailure("the connection to X display \":7\" was lost");
    clock.advance(1s);
    EXPECT_THROW(service.frame(), CaptureError);
    EXPECT_EQ(log.snapshot().size(), 1u);
}

TEST(ScreenFrameService, CallersWaitingOnAFailingFrameAllFailAndItIsLoggedOnce) {
    auto source = std::make_shared<FakeScreenSource>(blockPicture(64, 48));
    FailureLog log;
    ScreenFrameService service(source, log.callback());
    source->closeGate();

    constexpr int kCallers = 5;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kCallers; ++i)
        threads.emplace_back([&] {
            try {
                service.frame();
            } catch (const CaptureError& e) {
                if (std::string(e.what()) == "display gone")
                    ++failures;
            }
        });
    const bool lined = waitUntil(
        [&] { return source->captures() == 1 && service.waitingCallers() == kCallers - 1; });
    // The display goes away while the one capture is in flight.
    source->setFailure("display gone");
    source->openGate();
    for (auto& t : threads)
        t.join();
    ASSERT_TRUE(lined);
    EXPECT_EQ(failures.load(), kCallers);
    EXPECT_EQ(source->captures(), 1);
    EXPECT_EQ(log.snapshot(), std::vector<std::string>{"display gone"});
}

TEST(ScreenFrameService, EmptyDisplayIsAFailure) {
    auto source = std::make_shared<FakeScreenSource>(Bitmap{});
    FailureLog log;
    ScreenFrameService service(source, log.callback());
    EXPECT_THROW(service.frame(), CaptureError);
    ASSERT_EQ(log.snapshot().size(), 1u);
    EXPECT_NE(log.snapshot()[0].find("no size"), std::string::npos);
}
