// The real Tavelseats program (Qt's offscreen platform, --dry-run) against the real server
// core on loopback: the disallowed list pushed by the teacher ends a disallowed process and
// leaves the others; Restart and ShutDown are logged, not run; a missing settings file is
// said on stderr and read again.
#include "ChildProcess.h"
#include "Eventually.h"
#include "InProcessServer.h"
#include "RecordingDialogs.h"
#include "ScriptedTeacher.h"
#include "TempDir.h"
#include "net/CommandDispatch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/wait.h>

namespace tavelcast {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::eventually;

// Tavelseats in an application folder of its own, its output collected by the test.
class PupilProgram {
public:
    explicit PupilProgram(const testing::TempDir& dir) {
        m_exe = dir.path() / "Tavelseats";
        std::filesystem::copy_file(TAVELSEATS_EXE, m_exe);
        std::filesystem::permissions(m_exe, std::filesystem::perms::owner_all);
    }
    void writeSettings(std::uint16_t port) {
        testing::writeFile(m_exe.parent_path() / "Tavelseats.ini",
                           "[IniSettings]\nSIP=127.0.0.1\nSPort=" + std::to_string(port) + "\n");
    }
    void start() {
        m_process =
            std::make_unique<ChildProcess>(m_exe.string(), std::vector<std::string>{"--dry-run"},
                                           std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    }
    ChildProcess& process() { return *m_process; }

private:
    std::filesystem::path m_exe;
    std::unique_ptr<ChildProcess> m_process;
};

// A copy of sleep under another name: a "game" a pupil might run.
std::string dummyProgram(const testing::TempDir& dir, const std::string& name) {
    const auto path = dir.path() / name;
    std::filesystem::copy_file("/bin/sleep", path);
    return path.string();
}

bool alive(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == 0;
}

TEST(TavelseatsProcess, APushedListEndsTheDisallowedProcessWithinThreeSecondsAndSparesOthers) {
    // Names of this test's own: enforcement ends every process of the user with a listed
    // name, and other tests run at the same time.
    const std::string gameName = "dgame" + std::to_string(::getpid());
    const std::string otherName = "dother" + std::to_string(::getpid());
    std::string listed = gameName + ".exe";
    listed[0] = 'D'; // another case
    // The teacher's stored list is the one pushed below: the answer to the pupil's own
    // request at connect may arrive after the push, as it can on a real server.
    class StoredList : public DisallowedListSource {
    public:
        explicit StoredList(std::string line) : m_line(std::move(line)) {}
        std::string BuildDisallowedList() override { return m_line; }

    private:
        std::string m_line;
    } stored(";notepad.exe;" + listed);
    testing::TempDir dir;
    testing::InProcessServer server({}, nullptr, &stored);
    testing::RecordingDialogs dialogs;
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);
    PupilProgram pupil(dir);
    pupil.writeSettings(server.port());
    pupil.start();
    ASSERT_TRUE(server.notifying.waitConnects(1));

    ChildProcess game(dummyProgram(dir, gameName), {"60"});
    ChildProcess other(dummyProgram(dir, otherName), {"60"});
    ASSERT_TRUE(alive(game.pid()));

    // The rule is switched on, then the editor's push arrives: name in another case, with
    // ".exe", among others.
    ASSERT_EQ(dispatch.SendToAllClients("DisallowON").delivered, 1u);
    const auto pushed = std::chrono::steady_clock::now();
    ASSERT_EQ(dispatch.SendLinesToAllClients({"GetDisallowedApps", stored.BuildDisallowedList()})
                  .delivered,
              1u);
    const auto status = game.waitExit(3s);
    ASSERT_TRUE(status) << "the disallowed process still runs 3 s after the push; pupil log:\n"
                        << pupil.process().output();
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - pushed, 3s);
    // The other one lives on through further rounds of enforcement.
    EXPECT_FALSE(other.waitExit(2500ms)) << "a process not on the list was ended";
    // The pupil itself is not on the list and still talks to the teacher.
    EXPECT_EQ(server.notifying.disconnects(), 0);

    pupil.process().signal(SIGTERM);
    ASSERT_TRUE(pupil.process().waitExit(10s));
    const std::string log = pupil.process().output();
    EXPECT_NE(log.find("disallowed application '" + gameName + "'"), std::string::npos) << log;
    EXPECT_NE(log.find("sent SIGTERM"), std::string::npos) << log;
    EXPECT_EQ(log.find(otherName), std::string::npos) << log;
}

TEST(TavelseatsProcess, WithTheRuleOffAPushedListEndsNothing) {
    testing::TempDir dir;
    testing::InProcessServer server;
    server.state.setDisallowRulesEnabled(false);
    testing::RecordingDialogs dialogs;
    CommandDispatch dispatch(server.server, server.hostNames, dialogs);
    PupilProgram pupil(dir);
    pupil.writeSettings(server.port());
    pupil.start();
    ASSERT_TRUE(server.notifying.waitConnects(1));
    const std::string gameName = "rgame" + std::to_string(::getpid());
    ChildProcess game(dummyProgram(dir, gameName), {"60"});
    dispatch.SendToAllClients("DisallowOFF");
    dispatch.SendLinesToAllClients({"GetDisallowedApps", ";" + gameName});
    EXPECT_FALSE(game.waitExit(2500ms)) << pupil.process().output();
    // Switching the rule on ends it.
    dispatch.SendToAllClients("DisallowON");
    EXPECT_TRUE(game.waitExit(3s)) << pupil.process().output();
}

TEST(TavelseatsProcess, RestartAndShutDownAreLoggedInADryRun) {
    testing::TempDir dir;
    testing::ScriptedTeacher teacher;
    PupilProgram pupil(dir);
    pupil.writeSettings(teacher.port());
    pupil.start();
    auto connection = teacher.accept(10s);
    ASSERT_TRUE(connection);
    connection->send("Restart\r\nShutDown\r\nKeyLockON\r\n");
    // Two polls after the words: the second went out after they were handled. And the
    // pupil is still there: nothing was run.
    ASSERT_EQ(connection->readLine(3s), "GetDisallowedApps");
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(connection->readLine(3s), "IDLE");
    }
    pupil.process().signal(SIGTERM);
    ASSERT_TRUE(pupil.process().waitExit(10s));
    const std::string log = pupil.process().output();
    EXPECT_NE(log.find("dry run: would restart with: systemctl reboot"), std::string::npos) << log;
    EXPECT_NE(log.find("dry run: would shutdown with: systemctl poweroff"), std::string::npos)
        << log;
    EXPECT_NE(log.find("keyboard locked by the teacher"), std::string::npos) << log;
}

TEST(TavelseatsProcess, AMissingSettingsFileIsExplainedAndReadAgain) {
    testing::TempDir dir;
    testing::InProcessServer server;
    PupilProgram pupil(dir);
    pupil.start();
    // The message is on stderr; the program keeps running and picks up the file.
    EXPECT_FALSE(pupil.process().waitExit(1500ms)) << pupil.process().output();
    pupil.writeSettings(server.port());
    EXPECT_TRUE(server.notifying.waitConnects(1, 10s));
    pupil.process().signal(SIGTERM);
    ASSERT_TRUE(pupil.process().waitExit(10s));
    const std::string log = pupil.process().output();
    EXPECT_NE(log.find("Tavelseats.ini is missing"), std::string::npos) << log;
    EXPECT_NE(log.find("SIP="), std::string::npos) << log;
    EXPECT_NE(log.find("connected to the teacher at 127.0.0.1:"), std::string::npos) << log;
}

TEST(TavelseatsProcess, InstallAutostartWritesTheEntryForThisExecutable) {
    testing::TempDir dir;
    PupilProgram pupil(dir);
    ChildProcess install((dir.path() / "Tavelseats").string(), {"--install-autostart"},
                         {"XDG_CONFIG_HOME=" + dir.dir() + "config"});
    const auto status = install.waitExit(10s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << install.output();
    const std::string entry =
        testing::readFile(dir.path() / "config" / "autostart" / "Tavelseats.desktop");
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=" + (dir.path() / "Tavelseats").string() + "\n"),
              std::string::npos)
        << entry;
    EXPECT_NE(entry.find("\nPath=" + dir.path().string() + "\n"), std::string::npos) << entry;
}

} // namespace
} // namespace tavelcast
