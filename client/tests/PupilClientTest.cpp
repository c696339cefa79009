// The pupil's conversation with a teacher whose every byte the test writes, over loopback.
#include "core/PupilClient.h"

#include "Eventually.h"
#include "ScriptedTeacher.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace tavelcast {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::ScriptedTeacher;

// Records what the teacher's words made the pupil do, as short event strings.
class RecordingActions : public PupilActions {
public:
    std::vector<std::uint8_t> snapshot(int maxWidth) override {
        record("snapshot:" + std::to_string(maxWidth));
        if (failSnapshots) {
            throw std::runtime_error("no screen");
        }
        return snapshotBytes;
    }
    void showFrame(std::vector<std::uint8_t> jpeg) override {
        record("frame:" + std::string(jpeg.begin(), jpeg.end()));
    }
    void stopFrames() override { record("stopFrames"); }
    void keyboardLock(bool locked) override { record(locked ? "lock" : "unlock"); }
    void restart(const std::string& command) override { record("restart:" + command); }
    void shutDown(const std::string& command) override { record("shutDown:" + command); }
    void disallowEnabled(bool enabled) override { record(enabled ? "rule:on" : "rule:off"); }
    void disallowedList(const std::vector<std::string>& names) override {
        std::string joined;
        for (const auto& name : names) {
            joined += (joined.empty() ? "" : ",") + name;
        }
        record("list:" + joined);
    }
    void connected(const std::string&) override { record("connected"); }
    void disconnected() override { record("disconnected"); }
    void settingsProblem(const std::string& message) override {
        record(message.empty() ? "settings:ok" : "settings:" + message);
    }

    std::vector<std::string> events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::size_t count(const std::string& event) {
        const auto all = events();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), event));
    }
    std::size_t countPrefix(const std::string& prefix) {
        std::size_t n = 0;
        for (const auto& e : events()) {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    bool has(const std::string& event) { return count(event) > 0; }
    // The events after the last "connected".
    std::vector<std::string> sinceConnect() {
        const auto all = events();
        const auto last = std::find(all.rbegin(), all.rend(), "connected");
        return last == all.rend() ? all : std::vector<std::string>(last.base(), all.end());
    }

    std::vector<std::uint8_t> snapshotBytes;
    std::atomic<bool> failSnapshots{false};

private:
    void record(std::string event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

class PupilClientTest : public ::testing::Test {
protected:
    void SetUp() override { writeSettings(teacher.port()); }

    void writeSettings(std::uint16_t port, const std::string& extra = {}) {
        testing::writeFile(iniPath(), "[IniSettings]\nSIP=127.0.0.1\nSPort=" +
                                          std::to_string(port) + "\n" + extra);
    }
    std::string iniPath() const { return (dir.path() / "Tavelseats.ini").string(); }

    void start(PupilClient::Options options = {}) {
        options.iniPath = iniPath();
        if (options.settingsRetry == 3000ms) {
            options.settingsRetry = 50ms;
        }
        client = std::make_unique<PupilClient>(actions, options);
        client->start();
    }

    // Accepts the pupil and answers nothing yet.
    std::unique_ptr<ScriptedTeacher::Pupil> acceptPupil() {
        auto pupil = teacher.accept(10s);
        if (!pupil) {
            ADD_FAILURE() << "the pupil did not connect";
        }
        return pupil;
    }

    testing::TempDir dir;
    ScriptedTeacher teacher;
    RecordingActions actions;
    std::unique_ptr<PupilClient> client;
};

TEST_F(PupilClientTest, AsksForTheListAndPollsAtOnceThenEveryHalfSecond) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    EXPECT_EQ(pupil->readLine(2s), "GetDisallowedApps");
    EXPECT_EQ(pupil->readLine(2s), "IDLE");
    // No answer to the polls: they keep coming, each about 500 ms after the one before.
    auto previous = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(pupil->readLine(2s), "IDLE");
        const auto now = std::chrono::steady_clock::now();
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - previous);
        if (i > 0) {
            EXPECT_GE(gap, 400ms);
            EXPECT_LE(gap, 900ms);
        }
        previous = now;
    }
}

TEST_F(PupilClientTest, AnswersGetSnapShotWithWordCountAndPayload) {
    writeSettings(teacher.port(), "SnapshotWidth=800\n");
    actions.snapshotBytes = {0xff, 0xd8, 'j', 'p', 'e', 'g', '\r', '\n', 0, 0xff, 0xd9};
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    for (int round = 0; round < 2; ++round) {
        pupil->send("GetSnapShot\r\n");
        ASSERT_EQ(pupil->readLineSkippingPolls(5s),
                  round == 0 ? std::optional<std::string>("GetDisallowedApps") : "GetSnapShot");
        if (round == 0) {
            ASSERT_EQ(pupil->readLineSkippingPolls(5s), "GetSnapShot");
        }
        ASSERT_EQ(pupil->readLine(5s), std::to_string(actions.snapshotBytes.size()));
        EXPECT_EQ(pupil->readBytes(actions.snapshotBytes.size(), 5s),
                  std::string(actions.snapshotBytes.begin(), actions.snapshotBytes.end()));
        pupil->send("IDLE\r\n"); // the teacher's receipt
    }
    EXPECT_EQ(actions.count("snapshot:800"), 2u);
}

TEST_F(PupilClientTest, ASnapshotThatFailsSendsNothingAndKeepsTheConnection) {
    actions.failSnapshots = true;
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    ASSERT_EQ(pupil->readLineSkippingPolls(5s), "GetDisallowedApps");
    pupil->send("GetSnapShot\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("snapshot:0"); }));
    pupil->send("KeyLockON\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("lock"); }));
    // Only polls came after the failed snapshot.
    pupil->send("GetDisallowedApps\r\n;x.exe\r\n"); // nothing to read back; then a poll
    EXPECT_EQ(pupil->readLineSkippingPolls(1200ms), std::nullopt);
}

TEST_F(PupilClientTest, FramesComeBackToBackUpToThirtyASecond) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    // Answer every poll with a frame for 1.5 s.
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    int polls = 0;
    while (std::chrono::steady_clock::now() < until) {
        const auto line = pupil->readLine(2s);
        ASSERT_TRUE(line);
        if (*line == "IDLE") {
            ++polls;
            pupil->send("DoScreenStreaming\r\n5\r\nframe");
        }
    }
    ASSERT_TRUE(eventually([&] { return actions.count("frame:frame") >= std::size_t(polls); }));
    // 500 ms polling would give 4; back-to-back with a 30/s ceiling gives about 45.
    EXPECT_GE(polls, 25) << "polls did not follow the frames at once";
    EXPECT_LE(polls, 48) << "more than 30 frames a second";
    pupil->send("StopScreenStreaming\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("stopFrames"); }));
    // Without frames the polls go back to every 500 ms.
    ASSERT_EQ(pupil->readLineSkippingPolls(0ms), std::nullopt);
    ASSERT_EQ(pupil->readLine(1s), "IDLE");
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(pupil->readLine(1s), "IDLE");
    EXPECT_GE(std::chrono::steady_clock::now() - before, 350ms);
}

TEST_F(PupilClientTest, EveryWordReachesItsActionInOrder) {
    writeSettings(teacher.port(), "RestartCommand=echo restart-lab\n");
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    pupil->send("KeyLockON\r\nDisallowON\r\nRestart\r\nShutDown\r\nStopScreenStreaming\r\n"
                "KeyLockOFF\r\nDisallowOFF\r\nIDLE\r\n");
    const std::vector<std::string> expected{"lock",
                                            "rule:on",
                                            "restart:echo restart-lab",
                                            "shutDown:systemctl poweroff",
                                            "stopFrames",
                                            "unlock",
                                            "rule:off"};
    ASSERT_TRUE(eventually([&] { return actions.sinceConnect().size() >= 7; }, 5s));
    EXPECT_FALSE(eventually([&] { return actions.sinceConnect().size() > 7; }, 200ms));
    EXPECT_EQ(actions.sinceConnect(), expected);
}

TEST_F(PupilClientTest, ListLinesAnswerOrFollowAPushAndNothingWaitsForThem) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    ASSERT_EQ(pupil->readLineSkippingPolls(5s), "GetDisallowedApps");
    // The answer to the request: the list, and the teacher's rule is on.
    pupil->send(";firefox.exe;notepad.exe\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("rule:on"); }));
    const auto afterAnswer = actions.sinceConnect();
    ASSERT_GE(afterAnswer.size(), 2u);
    EXPECT_EQ(afterAnswer[afterAnswer.size() - 2], "list:firefox.exe,notepad.exe");
    EXPECT_EQ(afterAnswer.back(), "rule:on");
    pupil->send("DisallowOFF\r\n");
    ASSERT_TRUE(eventually([&] { return actions.sinceConnect().back() == "rule:off"; }));
    // A pushed list changes the names only.
    pupil->send("GetDisallowedApps\r\n;dummygame\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("list:dummygame"); }));
    // An empty line is an empty list.
    pupil->send("GetDisallowedApps\r\n\r\nKeyLockON\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("lock"); }));
    EXPECT_TRUE(actions.has("list:"));
    EXPECT_EQ(actions.count("rule:on"), 1u);
    // A push whose list line never comes does not hold up the next word.
    pupil->send("GetDisallowedApps\r\nKeyLockOFF\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("unlock"); }));
}

TEST_F(PupilClientTest, UnknownWordsAreLoggedOnceAndIgnored) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    ::testing::internal::CaptureStderr();
    pupil->send("Hello\r\nkeylockon\r\nHello\r\nHello\r\nKeyLockON\r\n");
    const bool locked = eventually([&] { return actions.has("lock"); });
    const std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(locked);
    const auto occurrences = [&](const std::string& text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(occurrences("unknown word from the teacher: 'Hello'"), 1u) << log;
    EXPECT_EQ(occurrences("unknown word from the teacher: 'keylockon'"), 1u) << log;
    EXPECT_EQ(actions.count("lock"), 1u);
    EXPECT_FALSE(actions.has("disconnected"));
}

struct BadFrame {
    const char* name;
    std::string bytes; // sent, then the teacher closes its end if closeAfter
    bool closeAfter;
};

class PupilClientBadFrameTest : public PupilClientTest,
                                public ::testing::WithParamInterface<BadFrame> {};

TEST_P(PupilClientBadFrameTest, EndsTheConnectionLiftsTheLockAndReconnects) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    pupil->send("KeyLockON\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("lock"); }));
    pupil->send(GetParam().bytes);
    if (GetParam().closeAfter) {
        pupil->close();
    } else {
        EXPECT_TRUE(pupil->closedWithin(5s)) << "the pupil kept the connection";
    }
    ASSERT_TRUE(eventually([&] { return actions.has("disconnected"); }));
    EXPECT_FALSE(actions.has("frame:")) << "a bad frame was shown";
    EXPECT_EQ(actions.countPrefix("frame:"), 0u);
    // The lock goes with the connection, enforcement too.
    const auto events = actions.events();
    const auto gone = std::find(events.begin(), events.end(), "disconnected");
    EXPECT_NE(std::find(events.begin(), gone, "rule:off"), gone);
    // And the pupil comes back after about a second.
    const auto before = std::chrono::steady_clock::now();
    auto again = teacher.accept(5s);
    ASSERT_TRUE(again) << "no reconnect";
    EXPECT_GE(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_EQ(again->readLine(2s), "GetDisallowedApps");
}

INSTANTIATE_TEST_SUITE_P(
    Frames, PupilClientBadFrameTest,
    ::testing::Values(BadFrame{"LettersInCount", "DoScreenStreaming\r\n12ab\r\nxxxx", false},
                      BadFrame{"NegativeCount", "DoScreenStreaming\r\n-1\r\n", false},
                      BadFrame{"HugeCount", "DoScreenStreaming\r\n99999999999\r\n", false},
                      BadFrame{"CutPayload", "DoScreenStreaming\r\n100\r\nonly-a-part", true},
                      BadFrame{"TeacherGone", "", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PupilClientTest, MissingSettingsAreReportedOnceAndReadAgainUntilUsable) {
    std::filesystem::remove(iniPath());
    start();
    ASSERT_TRUE(eventually([&] { return actions.countPrefix("settings:") > 0; }));
    const auto first = actions.events().front();
    EXPECT_NE(first.find("is missing"), std::string::npos) << first;
    EXPECT_NE(first.find(iniPath()), std::string::npos) << first;
    // A broken file is a new problem, reported once more.
    testing::writeFile(iniPath(), "[IniSettings]\nSIP=127.0.0.1\nSPort=http\n");
    ASSERT_TRUE(eventually([&] { return actions.countPrefix("settings:") == 2; }));
    EXPECT_FALSE(eventually([&] { return actions.countPrefix("settings:") > 2; }, 300ms))
        << "the same problem was reported again";
    writeSettings(teacher.port());
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    EXPECT_TRUE(actions.has("settings:ok"));
}

TEST_F(PupilClientTest, ConnectsFromTheConfiguredLocalAddress) {
    writeSettings(teacher.port(), "BindIP=127.0.1.7\n");
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    EXPECT_EQ(pupil->peerAddress(), "127.0.1.7");
}

TEST_F(PupilClientTest, StopEndsPromptlyWhileWaitingToReconnect) {
    teacher.stopListening(); // refused: the pupil waits before the next attempt
    start();
    ASSERT_TRUE(eventually([&] { return client->connections() == 0; }));
    const auto before = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
}

TEST_F(PupilClientTest, StopEndsPromptlyWhileConnected) {
    start();
    auto pupil = acceptPupil();
    ASSERT_TRUE(pupil);
    pupil->send("KeyLockON\r\n");
    ASSERT_TRUE(eventually([&] { return actions.has("lock"); }));
    const auto before = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_TRUE(actions.has("disconnected"));
    EXPECT_TRUE(pupil->closedWithin(2s));
}

} // namespace
} // namespace tavelcast
