// The client's pure logic: what a line from the teacher is, list lines, process-name
// matching, the reconnect schedule and the settings file.
#include "core/ClientSettings.h"
#include "core/ProcessNameMatch.h"
#include "core/ReconnectBackoff.h"
#include "core/ServerLine.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace tavelcast {
namespace {

struct LineCase {
    const char* line;
    ServerLineKind kind;
};

TEST(ServerLine, ClassifiesEveryLineByTheListLineRuleThenByExactWord) {
    const LineCase cases[] = {
        {"", ServerLineKind::ListLine},
        {";", ServerLineKind::ListLine},
        {";firefox.exe;notepad.exe", ServerLineKind::ListLine},
        {";GetSnapShot", ServerLineKind::ListLine},
        {"GetSnapShot", ServerLineKind::GetSnapShot},
        {"KeyLockON", ServerLineKind::KeyLockON},
        {"KeyLockOFF", ServerLineKind::KeyLockOFF},
        {"Restart", ServerLineKind::Restart},
        {"ShutDown", ServerLineKind::ShutDown},
        {"DisallowON", ServerLineKind::DisallowON},
        {"DisallowOFF", ServerLineKind::DisallowOFF},
        {"StopScreenStreaming", ServerLineKind::StopScreenStreaming},
        {"GetDisallowedApps", ServerLineKind::GetDisallowedApps},
        {"DoScreenStreaming", ServerLineKind::DoScreenStreaming},
        {"IDLE", ServerLineKind::IDLE},
        // Exact and case-sensitive: anything else is unknown.
        {"keylockon", ServerLineKind::Unknown},
        {"KeyLockON ", ServerLineKind::Unknown},
        {" KeyLockON", ServerLineKind::Unknown},
        {"KeyLockON\r", ServerLineKind::Unknown},
        {"Shutdown", ServerLineKind::Unknown},
        {"firefox.exe;notepad.exe", ServerLineKind::Unknown},
        {"Hello", ServerLineKind::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classifyServerLine(c.line), c.kind) << "line '" << c.line << "'";
    }
}

TEST(ServerLine, ListLinesSplitAtSemicolonsAndDropEmptyParts) {
    EXPECT_EQ(parseListLine(""), std::vector<std::string>{});
    EXPECT_EQ(parseListLine(";"), std::vector<std::string>{});
    EXPECT_EQ(parseListLine(";iexplore.exe;notepad.exe"),
              (std::vector<std::string>{"iexplore.exe", "notepad.exe"}));
    EXPECT_EQ(parseListLine(";a b.exe;;c.exe;"), (std::vector<std::string>{"a b.exe", "c.exe"}));
}

struct MatchCase {
    const char* entry;
    const char* process;
    bool matches;
};

TEST(ProcessNameMatch, IgnoresCaseAndExeOnEitherSide) {
    const MatchCase cases[] = {
        {"firefox.exe", "firefox", true},
        {"firefox.exe", "FIREFOX", true},
        {"firefox.exe", "firefox.exe", true},
        {"firefox.exe", "Firefox.EXE", true},
        {"firefox", "firefox.exe", true},
        {"firefox.exe", "firefox-bin", false},
        {"firefox.exe", "firefo", false},
        {"firefox.exe", "firefox.exe.bak", false},
        {"firefox.exe", "xfirefox", false},
        {"a.exe", "a", true},
        {"a.exe", "A.EXE", true},
        {"a.exe", "ab", false},
        {"a.exe", "", false},
        // An entry that is nothing but the extension names no process.
        {".exe", "", false},
        {".exe", ".exe", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        const DisallowedNames names({c.entry});
        EXPECT_EQ(names.matches(c.process), c.matches)
            << "entry '" << c.entry << "' against process '" << c.process << "'";
    }
}

TEST(ProcessNameMatch, ListWithSeveralNamesMatchesEachOfThem) {
    const DisallowedNames names(parseListLine(";iexplore.exe;Notepad.exe;dummygame"));
    EXPECT_EQ(names.size(), 3u);
    EXPECT_TRUE(names.matches("notepad"));
    EXPECT_TRUE(names.matches("IEXPLORE"));
    EXPECT_TRUE(names.matches("dummygame"));
    EXPECT_FALSE(names.matches("dummygame2"));
    EXPECT_FALSE(DisallowedNames().matches("anything"));
}

TEST(ReconnectBackoff, StepDoublesFromOneSecondToThirtyAndEachWaitIsJitteredBelowIt) {
    using std::chrono::milliseconds;
    for (std::uint32_t seed = 1; seed <= 50; ++seed) {
        ReconnectBackoff backoff(seed);
        const milliseconds steps[] = {milliseconds(1000),  milliseconds(2000),  milliseconds(4000),
                                      milliseconds(8000),  milliseconds(16000), milliseconds(30000),
                                      milliseconds(30000), milliseconds(30000)};
        for (const auto step : steps) {
            ASSERT_EQ(backoff.step(), step);
            const auto wait = backoff.next();
            EXPECT_LE(wait, step);
            EXPECT_GE(wait, step * 4 / 5);
        }
        backoff.reset();
        EXPECT_EQ(backoff.step(), milliseconds(1000));
        const auto first = backoff.next();
        EXPECT_GE(first, milliseconds(800));
        EXPECT_LE(first, milliseconds(1000));
    }
}

TEST(ReconnectBackoff, WaitsDifferBetweenPupils) {
    // Jitter: a class of pupils started together does not come back in one burst.
    std::set<long long> firstWaits;
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        ReconnectBackoff backoff(seed);
        backoff.next();
        backoff.next();
        firstWaits.insert(backoff.next().count());
    }
    EXPECT_GT(firstWaits.size(), 10u);
}

class ClientSettingsTest : public ::testing::Test {
protected:
    std::string write(const std::string& text) {
        const auto path = dir.path() / "Tavelseats.ini";
        testing::writeFile(path, text);
        return path.string();
    }
    testing::TempDir dir;
};

TEST_F(ClientSettingsTest, ReadsAddressPortAndOptionalKeys) {
    const auto result =
        loadClientSettings(write("[IniSettings]\nSIP=127.0.0.1\nSPort=7000\nSnapshotWidth=640\n"
                                 "RestartCommand=/usr/local/bin/reboot-lab\n"));
    ASSERT_TRUE(result.settings) << result.error;
    EXPECT_EQ(result.settings->host, "127.0.0.1");
    EXPECT_EQ(result.settings->port, 7000);
    EXPECT_EQ(result.settings->snapshotWidth, 640);
    EXPECT_EQ(result.settings->restartCommand, "/usr/local/bin/reboot-lab");
    EXPECT_EQ(result.settings->shutDownCommand, "systemctl poweroff");
}

TEST_F(ClientSettingsTest, DefaultsAreFullScreenSnapshotsAndSystemctl) {
    const auto result =
        loadClientSettings(write("[inisettings]\r\nsip = teacher-pc.school.lan\r\nsport = 1\r\n"));
    ASSERT_TRUE(result.settings) << result.error;
    EXPECT_EQ(result.settings->host, "teacher-pc.school.lan");
    EXPECT_EQ(result.settings->port, 1);
    EXPECT_EQ(result.settings->snapshotWidth, 0);
    EXPECT_EQ(result.settings->restartCommand, "systemctl reboot");
    EXPECT_EQ(result.settings->shutDownCommand, "systemctl poweroff");
}

TEST_F(ClientSettingsTest, MissingOrInvalidFileGivesAnErrorThatSaysWhat) {
    struct Case {
        const char* text; // nullptr: no file
        const char* errorPart;
    };
    const Case cases[] = {
        {nullptr, "is missing"},
        {"", "has no SIP"},
        {"[Other]\nSIP=127.0.0.1\nSPort=7000\n", "has no SIP"},
        {"[IniSettings]\nSPort=7000\n", "has no SIP"},
        {"[IniSettings]\nSIP=127.0.0.1\n", "has no SPort"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=0\n", "invalid SPort '0'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=65536\n", "invalid SPort '65536'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=70x\n", "invalid SPort '70x'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=-5\n", "invalid SPort '-5'"},
        {"[IniSettings]\nSIP=teacher pc\nSPort=7000\n", "invalid SIP 'teacher pc'"},
        {"[IniSettings]\nSIP=a/b\nSPort=7000\n", "invalid SIP 'a/b'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=7000\nSnapshotWidth=wide\n",
         "invalid SnapshotWidth 'wide'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=7000\nSnapshotWidth=-1\n",
         "invalid SnapshotWidth '-1'"},
        {"[IniSettings]\nSIP=127.0.0.1\nSPort=7000\nBindIP=127.0.1\n", "invalid BindIP '127.0.1'"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir.path() / "Tavelseats.ini");
        const std::string path = c.text ? write(c.text) : (dir.path() / "Tavelseats.ini").string();
        const auto result = loadClientSettings(path);
        EXPECT_FALSE(result.settings) << (c.text ? c.text : "(no file)");
        EXPECT_NE(result.error.find(c.errorPart), std::string::npos)
            << "error '" << result.error << "' lacks '" << c.errorPart << "'";
        EXPECT_NE(result.error.find(path), std::string::npos) << result.error;
    }
}

TEST_F(ClientSettingsTest, AFolderInPlaceOfTheFileIsMissingFile) {
    std::filesystem::create_directory(dir.path() / "Tavelseats.ini");
    const auto result = loadClientSettings((dir.path() / "Tavelseats.ini").string());
    EXPECT_FALSE(result.settings);
    EXPECT_NE(result.error.find("is missing"), std::string::npos);
}

} // namespace
} // namespace tavelcast
