// Pupils asking for the disallowed list over real loopback connections.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "TempDir.h"
#include "disallow/DisallowedStore.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavelcast {
namespace {

using testing::eventually;
using testing::InProcessServer;
using testing::LoopbackPupil;
using testing::TempDir;
using testing::writeFile;

const std::string Request = "GetDisallowedApps\r\n";

class DisallowedAnswers : public ::testing::Test {
protected:
    DisallowedAnswers() : store(appDir.dir()), server({}, nullptr, &store) {
        server.resolver->set("127.0.0.1", "pc01");
    }

    TempDir appDir;
    DisallowedStore store;
    InProcessServer server;
};

TEST_F(DisallowedAnswers, RuleOnWithoutFileAnswersAnEmptyLine) {
    ASSERT_TRUE(server.state.disallowRulesEnabled()); // checked at start-up
    LoopbackPupil pupil(server.port());
    pupil.send(Request);
    EXPECT_EQ(pupil.readLine(), std::optional<std::string>(""));
    // Only the line end came: nothing else is waiting.
    EXPECT_EQ(pupil.pending(), "");
}

TEST_F(DisallowedAnswers, RuleOnAnswersTheLineOfTheFileAsItIsNow) {
    writeFile(store.path(), "[IniSettings]\nApplicationProcess0=iexplore.exe\n"
                            "ApplicationProcess1=a.exe\nApplicationProcess2=notepad.exe\n");
    LoopbackPupil pupil(server.port());
    pupil.send(Request);
    EXPECT_EQ(pupil.readLine(), std::optional<std::string>(";iexplore.exe;notepad.exe"));

    store.SaveDisallowedList({"solitaire.exe"});
    pupil.send(Request);
    EXPECT_EQ(pupil.readLine(), std::optional<std::string>(";solitaire.exe"));
}

TEST_F(DisallowedAnswers, RuleOffGivesNoAnswerAtAll) {
    store.SaveDisallowedList({"iexplore.exe"});
    server.state.setDisallowRulesEnabled(false);
    LoopbackPupil pupil(server.port());
    // The connection answers in order, so if the request had an answer it would come
    // before the snapshot's "IDLE".
    pupil.send(Request);
    pupil.sendSnapshot("");
    EXPECT_EQ(pupil.readLine(), std::optional<std::string>("IDLE"));

    // Switched back on, the same connection is answered again.
    server.state.setDisallowRulesEnabled(true);
    pupil.send(Request);
    EXPECT_EQ(pupil.readLine(), std::optional<std::string>(";iexplore.exe"));
}

std::vector<std::string> listOf(const std::string& stem) {
    std::vector<std::string> names;
    for (int i = 0; i < DisallowedStore::SlotCount; ++i) {
        names.push_back(stem + std::to_string(i) + ".exe");
    }
    return names;
}

std::string lineOf(const std::vector<std::string>& names) {
    std::string line;
    for (const auto& name : names) {
        line += ";" + name;
    }
    return line;
}

// Pupils poll while the teacher saves 200 times, switching between two full lists whose
// every slot differs: a torn or slot-by-slot save, or a slot-by-slot read, shows up as an
// answer that is neither list.
TEST_F(DisallowedAnswers, AnswersDuringSavesAreTheOldListOrTheNewNeverAMix) {
    constexpr int Pupils = 4;
    constexpr int Saves = 200;
    constexpr int MaxPollsPerPupil = 200000;
    const auto oldNames = listOf("oldproc");
    const auto newNames = listOf("newprog");
    const std::string oldLine = lineOf(oldNames);
    const std::string newLine = lineOf(newNames);
    store.SaveDisallowedList(oldNames);

    std::atomic<bool> savesDone{false};
    std::atomic<int> ready{0};
    std::atomic<int> answers{0};
    std::atomic<int> answersDuringSaves{0};
    std::mutex badMutex;
    std::vector<std::string> bad; // unexpected answers, for the failure message

    auto poll = [&](int) {
        LoopbackPupil pupil(server.port());
        bool counted = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int i = 0; i < MaxPollsPerPupil && std::chrono::steady_clock::now() < deadline; ++i) {
            const bool during = !savesDone.load();
            pupil.send(Request);
            const auto line = pupil.readLine(std::chrono::seconds(10));
            if (!line || (*line != oldLine && *line != newLine)) {
                std::lock_guard lock(badMutex);
                bad.push_back(line ? line->substr(0, 200) : std::string("<no answer>"));
                return;
            }
            ++answers;
            if (during) {
                ++answersDuringSaves;
            }
            if (!counted) {
                counted = true;
                ++ready;
            }
            if (!during) {
                return; // one answer after the last save, then stop
            }
        }
    };

    std::vector<std::jthread> pollers;
    for (int p = 0; p < Pupils; ++p) {
        pollers.emplace_back(poll, p);
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(badMutex);
        return ready.load() == Pupils || !bad.empty();
    }));
    for (int i = 0; i < Saves; ++i) {
        store.SaveDisallowedList(i % 2 == 0 ? newNames : oldNames);
    }
    savesDone = true;
    pollers.clear(); // joins

    EXPECT_TRUE(bad.empty()) << bad.size() << " bad answers, first: " << bad.front();
    EXPECT_GT(answersDuringSaves.load(), Pupils);
    // The last save wrote the old list; a request now sees it.
    LoopbackPupil late(server.port());
    late.send(Request);
    EXPECT_EQ(late.readLine(), std::optional<std::string>(oldLine));
}

} // namespace
} // namespace tavelcast
