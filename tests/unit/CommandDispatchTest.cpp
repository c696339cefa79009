#include "net/CommandDispatch.h"
#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"
#include "StuckPupil.h"
#include "net/ProtocolWords.h"

#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;

namespace {

// The server in-process, a recording Dialogs and the dispatch under test. Pupils connect
// one at a time, each waiting until the server has it, so the live list is in connect order.
struct Classroom {
    explicit Classroom(std::chrono::milliseconds deadline = 5000ms,
                       ScreenFrameSource* frames = nullptr)
        : s(options(deadline), frames), dispatch(s.server, s.hostNames, dialogs) {}

    static TcpServerOptions options(std::chrono::milliseconds deadline) {
        TcpServerOptions o;
        o.writeDeadline = deadline;
        return o;
    }

    LoopbackPupil& connect(const std::string& source = {}) {
        pupils.push_back(std::make_unique<LoopbackPupil>(s.port(), source));
        const auto expected = pupils.size();
        EXPECT_TRUE(eventually([&] { return s.server.connectionCount() == expected; }));
        return *pupils.back();
    }

    InProcessServer s;
    RecordingDialogs dialogs;
    CommandDispatch dispatch;
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
};

// The lines a pupil received up to and including sentinel (empty when it never came).
std::vector<std::string> linesUntil(LoopbackPupil& pupil, const std::string& sentinel) {
    std::vector<std::string> lines;
    for (int i = 0; i < 10000; ++i) {
        const auto line = pupil.readLine(5s);
        if (!line) {
            return {};
        }
        lines.push_back(*line);
        if (*line == sentinel) {
            return lines;
        }
    }
    return {};
}

// Closes a pupil's socket with a reset, as a PC that is switched off mid-conversation.
void resetAndClose(std::unique_ptr<LoopbackPupil>& pupil) {
    const linger hard{1, 0};
    ::setsockopt(pupil->fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    pupil.reset();
}

} // namespace

TEST(CommandDispatch, TwoHundredPupilsAllReceiveTheWord) {
    Classroom room;
    for (int i = 0; i < 200; ++i) {
        room.connect();
    }
    const auto report = room.dispatch.SendToAllClients(words::KeyLockON);
    EXPECT_EQ(report.delivered, 200u);
    EXPECT_TRUE(report.failures.empty());
    const auto refresh = room.dispatch.GetSnapShots();
    EXPECT_EQ(refresh.delivered, 200u);
    for (auto& pupil : room.pupils) {
        EXPECT_EQ(pupil->readLine(5s), "KeyLockON");
        EXPECT_EQ(pupil->readLine(5s), "GetSnapShot");
        // Each line is ended by CR LF.
        EXPECT_TRUE(pupil->pending().empty());
    }
    EXPECT_TRUE(room.dialogs.events.empty());
}

TEST(CommandDispatch, WithNoPupilsNothingIsSentAndNothingShown) {
    Classroom room;
    EXPECT_EQ(room.dispatch.SendToAllClients(words::KeyLockON).delivered, 0u);
    EXPECT_EQ(room.dispatch.SendLinesToAllClients({"GetDisallowedApps", "a.exe;b.exe"}).delivered,
              0u);
    EXPECT_EQ(room.dispatch.GetSnapShots().delivered, 0u);
    EXPECT_EQ(room.dispatch.SendToSelectedClients({"pc-1"}, words::Restart).delivered, 0u);
    EXPECT_TRUE(room.dialogs.events.empty());
}

TEST(CommandDispatch, SeveralLinesGoOutTogether) {
    Classroom room;
    auto& a = room.connect();
    auto& b = room.connect();
    const auto report =
        room.dispatch.SendLinesToAllClients({"GetDisallowedApps", "game.exe;chat.exe"});
    EXPECT_EQ(report.delivered, 2u);
    for (auto* pupil : {&a, &b}) {
        EXPECT_EQ(pupil->readLine(5s), "GetDisallowedApps");
        EXPECT_EQ(pupil->readLine(5s), "game.exe;chat.exe");
    }
}

TEST(CommandDispatch, SelectionMatchesHostNamesExactly) {
    struct Case {
        const char* name;
        std::vector<std::string> selection;
        std::vector<int> expected; // lines for the pupils at 127.0.0.2, .3, .4, .5
        bool emptySelectionMessage;
    };
    const std::vector<Case> cases = {
        {"two connections with one host name", {"pc-twin"}, {1, 1, 0, 0}, false},
        {"letter case differs", {"PC-TWIN", "Pc-Other"}, {0, 0, 0, 0}, false},
        {"an entry twice", {"pc-other", "pc-twin", "pc-other"}, {1, 1, 2, 0}, false},
        {"no name: the address stands in", {"127.0.0.5"}, {0, 0, 0, 1}, false},
        {"entries that match nobody", {"nobody", ""}, {0, 0, 0, 0}, false},
        {"empty selection", {}, {0, 0, 0, 0}, true},
    };
    Classroom room;
    room.s.resolver->set("127.0.0.2", "pc-twin");
    room.s.resolver->set("127.0.0.3", "pc-twin");
    room.s.resolver->set("127.0.0.4", "pc-other");
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        room.connect(source);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        room.dialogs.events.clear();
        room.dispatch.SendToSelectedClients(c.selection, words::KeyLockON);
        // A line to everyone marks the end of what the selection sent.
        room.dispatch.SendToAllClients(words::KeyLockOFF);
        for (std::size_t i = 0; i < room.pupils.size(); ++i) {
            const auto lines = linesUntil(*room.pupils[i], "KeyLockOFF");
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "KeyLockON"), c.expected[i])
                << "pupil " << i;
            EXPECT_EQ(lines.size(), static_cast<std::size_t>(c.expected[i]) + 1) << "pupil " << i;
        }
        if (c.emptySelectionMessage) {
            ASSERT_EQ(room.dialogs.events.size(), 1u);
            EXPECT_EQ(room.dialogs.events[0].kind, "message");
            EXPECT_EQ(room.dialogs.events[0].text, "You have to select at least a client");
        } else {
            EXPECT_TRUE(room.dialogs.events.empty());
        }
    }
}

TEST(CommandDispatch, APupilThatNeverReadsCostsAtMostTheDeadline) {
    constexpr auto deadline = 400ms;
    Classroom room(deadline);
    room.s.resolver->set("127.0.0.3", "pc-asleep");
    room.connect("127.0.0.2");
    auto& asleep = room.connect("127.0.0.3");
    for (int i = 0; i < 8; ++i) {
        room.connect("127.0.0.4");
    }
    ASSERT_TRUE(fillUntilBlocked(serverSideFd(room.s.port(), asleep)));

    const auto start = std::chrono::steady_clock::now();
    const auto report = room.dispatch.SendToAllClients(words::KeyLockON);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    // The walk really waited on the sleeper, and not longer than its deadline.
    EXPECT_GE(elapsed, deadline - 20ms); // the deadline is kept to the millisecond
    EXPECT_LT(elapsed, deadline + 400ms);
    EXPECT_EQ(report.delivered, 9u);
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].address, "127.0.0.3");
    EXPECT_EQ(report.failures[0].hostName, "pc-asleep");
    for (std::size_t i = 0; i < room.pupils.size(); ++i) {
        if (room.pupils[i].get() != &asleep) {
            EXPECT_EQ(room.pupils[i]->readLine(5s), "KeyLockON") << "pupil " << i;
        }
    }
    // One box names the client; the sleeper is disconnected.
    ASSERT_EQ(room.dialogs.events.size(), 1u);
    EXPECT_EQ(room.dialogs.events[0].kind, "error");
    EXPECT_NE(room.dialogs.events[0].text.find("pc-asleep (127.0.0.3)"), std::string::npos)
        << room.dialogs.events[0].text;
    EXPECT_TRUE(eventually([&] { return room.s.server.connectionCount() == 9; }));
}

TEST(CommandDispatch, APupilLeavingMidWalkDoesNotStopIt) {
    // The sleeper holds the walk for its deadline; meanwhile a pupil further down the list
    // is reset. The walk must go on past both and name both in one box.
    constexpr auto deadline = 1500ms;
    Classroom room(deadline);
    room.s.resolver->set("127.0.0.3", "pc-asleep");
    room.s.resolver->set("127.0.0.4", "pc-gone");
    auto& first = room.connect("127.0.0.2");
    auto& asleep = room.connect("127.0.0.3");
    room.connect("127.0.0.4");
    const std::size_t goneIndex = room.pupils.size() - 1;
    for (int i = 0; i < 4; ++i) {
        room.connect("127.0.0.5");
    }
    ASSERT_TRUE(fillUntilBlocked(serverSideFd(room.s.port(), asleep)));

    auto walk = std::async(std::launch::async,
                           [&] { return room.dispatch.SendToAllClients(words::KeyLockON); });
    // The first pupil has its line: the walk is now waiting on the sleeper.
    ASSERT_EQ(first.readLine(5s), "KeyLockON");
    resetAndClose(room.pupils[goneIndex]);
    ASSERT_EQ(walk.wait_for(10s), std::future_status::ready);
    const auto report = walk.get();

    EXPECT_EQ(report.delivered, 5u);
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(report.failures[0].hostName, "pc-asleep");
    EXPECT_EQ(report.failures[1].hostName, "pc-gone");
    for (std::size_t i = goneIndex + 1; i < room.pupils.size(); ++i) {
        EXPECT_EQ(room.pupils[i]->readLine(5s), "KeyLockON") << "pupil " << i;
    }
    ASSERT_EQ(room.dialogs.events.size(), 1u);
    const auto& text = room.dialogs.events[0].text;
    EXPECT_NE(text.find("pc-asleep"), std::string::npos) << text;
    EXPECT_NE(text.find("pc-gone"), std::string::npos) << text;
    // The list is free again: both leave it, and the next command reaches the rest.
    EXPECT_TRUE(eventually([&] { return room.s.server.connectionCount() == 5; }));
    room.dialogs.events.clear();
    EXPECT_EQ(room.dispatch.SendToAllClients(words::KeyLockOFF).delivered, 5u);
    EXPECT_TRUE(room.dialogs.events.empty());
}

namespace {

// A frame big enough to take many pieces, in a pattern a pupil can check byte by byte.
class PatternFrames : public ScreenFrameSource {
public:
    explicit PatternFrames(std::size_t size) {
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(size);
        for (std::size_t i = 0; i < size; ++i) {
            (*bytes)[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xff);
        }
        m_frame = bytes;
    }
    std::shared_ptr<const std::vector<std::uint8_t>> frame() override { return m_frame; }
    const std::vector<std::uint8_t>& bytes() const { return *m_frame; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> m_frame;
};

} // namespace

TEST(CommandDispatch, ACommandLineNeverLandsInsideAScreenFrame) {
    constexpr int frames = 8;
    constexpr int commands = 1000;
    PatternFrames source(3 * 1024 * 1024 + 17);
    Classroom room(5000ms, &source);
    room.s.state.setStreamMode(StreamModeValue::DoScreenStreaming);
    auto& pupil = room.connect();
    const std::string count = std::to_string(source.bytes().size());

    // The pupil's side, parsing as a pupil does: a line; after "DoScreenStreaming" a count
    // line and exactly that many bytes, which must be the frame untouched.
    std::atomic<int> framesStarted{0};
    struct Parsed {
        int frames = 0;
        int commands = 0;
        int commandsBetweenFrames = 0;
        std::string error;
    };
    auto reader = std::async(std::launch::async, [&] {
        Parsed p;
        while (p.error.empty() && (p.frames < frames || p.commands < commands)) {
            const auto line = pupil.readLine(10s);
            if (!line) {
                p.error = "stream ended early";
            } else if (*line == "KeyLockON") {
                ++p.commands;
                p.commandsBetweenFrames += (p.frames > 0 && p.frames < frames) ? 1 : 0;
            } else if (*line == "DoScreenStreaming") {
                ++framesStarted;
                const auto countLine = pupil.readLine(10s);
                const auto payload = pupil.readBytes(source.bytes().size(), 10s);
                if (countLine != count) {
                    p.error = "bad count line after frame " + std::to_string(p.frames);
                } else if (!payload ||
                           !std::equal(source.bytes().begin(), source.bytes().end(),
                                       reinterpret_cast<const std::uint8_t*>(payload->data()))) {
                    p.error = "frame " + std::to_string(p.frames) + " is not intact";
                }
                ++p.frames;
            } else {
                p.error = "unexpected line: " + line->substr(0, 40);
            }
        }
        return p;
    });

    // One poll at a time; once its frame is on the way, a batch of commands races it.
    std::size_t delivered = 0;
    for (int f = 0; f < frames; ++f) {
        pupil.send("IDLE\r\n");
        ASSERT_TRUE(eventually([&] { return framesStarted.load() > f; }));
        for (int i = 0; i < commands / frames; ++i) {
            delivered += room.dispatch.SendToAllClients(words::KeyLockON).delivered;
        }
    }
    EXPECT_EQ(delivered, static_cast<std::size_t>(commands));
    ASSERT_EQ(reader.wait_for(40s), std::future_status::ready);
    const Parsed parsed = reader.get();
    EXPECT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.frames, frames);
    EXPECT_EQ(parsed.commands, commands);
    EXPECT_GE(parsed.commandsBetweenFrames, commands - commands / frames);
    EXPECT_TRUE(pupil.pending().empty());
    EXPECT_TRUE(room.dialogs.events.empty());
}
