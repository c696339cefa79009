// Screen frames and the teacher's commands on the same connections at the same time: 16
// pupils poll back-to-back through the real server core while the UI thread (here, the
// test thread) sends 500 command lines to all of them. Every frame must arrive whole and
// well framed, and every command line must arrive, in order, between frames.

#include "CaptureTestSupport.h"
#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"

#include "capture/EncodeJpeg.h"
#include "capture/FakeScreenSource.h"
#include "capture/ScreenFrameService.h"
#include "net/CommandDispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kPupils = 16;
constexpr int kCommands = 500;

// Coloured blocks under fine noise: a frame of a few hundred kilobytes, written in several
// pieces, so a command line that slipped in between them would be seen.
Bitmap noisyPicture(int width, int height) {
    Bitmap picture = test::blockPicture(width, height, 40);
    std::mt19937 rng(5);
    for (auto& byte : picture.pixels)
        byte = static_cast<std::uint8_t>(std::clamp(int(byte) + int(rng() % 61) - 30, 0, 255));
    return picture;
}

std::string commandLine(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "Command%04d", i);
    return text;
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.size() <= 10 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One pupil: polls, reads whatever comes, keeps the command lines in arrival order.
struct PollingPupil {
    std::unique_ptr<LoopbackPupil> socket;
    std::atomic<int> frames{0};
    std::vector<std::string> commands;
    std::string fault; // the first thing that went wrong, empty when none; read after join
    std::atomic<bool> ended{false};

    void run(const std::vector<std::uint8_t>& expectedFrame) {
        read(expectedFrame);
        ended = true;
    }

    void read(const std::vector<std::uint8_t>& expectedFrame) {
        const std::string expected(expectedFrame.begin(), expectedFrame.end());
        bool pollOutstanding = false;
        // Ends once every command is in and the last poll is answered; bounded by count
        // and, through each read's deadline, by time.
        for (int reads = 0; reads < 1'000'000; ++reads) {
            if (!pollOutstanding) {
                if (static_cast<int>(commands.size()) >= kCommands)
                    return;
                socket->send("IDLE\r\n");
                pollOutstanding = true;
            }
            const auto line = socket->readLine(10s);
            if (!line) {
                fault = "no line within 10 s after " + std::to_string(frames) + " frames and " +
                        std::to_string(commands.size()) + " commands";
                return;
            }
            if (*line != "DoScreenStreaming") {
                commands.push_back(*line);
                continue;
            }
            const auto count = socket->readLine(10s);
            if (!count || !allDigits(*count)) {
                fault = "count line is not a count: '" + count.value_or("(none)") + "'";
                return;
            }
            const auto payload = socket->readBytes(std::stoul(*count), 10s);
            if (!payload) {
                fault = "frame of " + *count + " bytes did not arrive whole";
                return;
            }
            if (*payload != expected) {
                fault = "frame " + std::to_string(frames) +
                        " differs from the screen's encoding"
                        " (" +
                        *count + " bytes, expected " + std::to_string(expected.size()) + ")";
                return;
            }
            pollOutstanding = false;
            ++frames;
        }
        fault = "too many reads";
    }
};

} // namespace

TEST(ScreenStreamingConcurrency, FramesAndCommandLinesNeverMix) {
    const Bitmap screen = noisyPicture(640, 400);
    std::vector<std::uint8_t> expectedFrame; // no pointer on the fake: the frame is this
    EncodeJpeg(screen, expectedFrame);
    ASSERT_GT(expectedFrame.size(), 100'000u) << "the frame should need several writes";
    ASSERT_TRUE(test::inspectJpeg(expectedFrame).startsWithSoi);
    ASSERT_TRUE(test::inspectJpeg(expectedFrame).endsWithEoi);

    auto source = std::make_shared<FakeScreenSource>(screen);
    ScreenFrameService service(source, {});
    InProcessServer server({}, &service);
    server.state.setStreamMode(StreamModeValue::DoScreenStreaming);
    RecordingDialogs dialogs;
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);

    std::vector<std::unique_ptr<PollingPupil>> pupils;
    for (int i = 0; i < kPupils; ++i) {
        pupils.push_back(std::make_unique<PollingPupil>());
        pupils.back()->socket = std::make_unique<LoopbackPupil>(server.port());
        ASSERT_TRUE(server.notifying.waitConnects(i + 1));
    }
    std::vector<std::thread> readers;
    for (auto& pupil : pupils)
        readers.emplace_back([&p = *pupil, &expectedFrame] { p.run(expectedFrame); });

    const auto everyPupilHasMoreFramesThan = [&](const std::vector<int>& before) {
        return eventually([&] {
            for (int i = 0; i < kPupils; ++i)
                if (pupils[i]->frames.load() <= before[i] && !pupils[i]->ended.load())
                    return false;
            return true;
        });
    };
    std::vector<int> framesBefore(kPupils, 0);
    bool interleaved = everyPupilHasMoreFramesThan(framesBefore);

    // The UI thread's part. Every 50 lines it lets each pupil take at least one more frame,
    // so that commands and frames really do interleave on every connection (not after the
    // last line: a pupil that has every line stops polling).
    std::size_t delivered = 0;
    for (int i = 1; i <= kCommands; ++i) {
        delivered += dispatch.SendToAllClients(commandLine(i)).delivered;
        if (i % 50 == 0 && i < kCommands && interleaved) {
            for (int k = 0; k < kPupils; ++k)
                framesBefore[k] = pupils[k]->frames.load();
            interleaved = everyPupilHasMoreFramesThan(framesBefore);
        }
    }
    for (auto& t : readers)
        t.join();

    EXPECT_EQ(delivered, static_cast<std::size_t>(kPupils * kCommands));
    EXPECT_TRUE(dialogs.events.empty()) << "a send failed: " << dialogs.events.front().text;
    EXPECT_TRUE(interleaved) << "frames stopped flowing while commands were sent";
    std::vector<std::string> expectedCommands;
    for (int i = 1; i <= kCommands; ++i)
        expectedCommands.push_back(commandLine(i));
    for (int i = 0; i < kPupils; ++i) {
        const PollingPupil& p = *pupils[i];
        EXPECT_EQ(p.fault, "") << "pupil " << i;
        EXPECT_EQ(p.commands, expectedCommands)
            << "pupil " << i << " after " << p.frames << " frames";
        EXPECT_GE(p.frames.load(), 11) << "pupil " << i;
    }
    EXPECT_GE(source->captures(), 1);
}
