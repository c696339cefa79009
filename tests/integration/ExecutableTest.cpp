// The real Tavelcast executable on Qt's offscreen platform, with pupils over loopback.

#include "ChildProcess.h"
#include "Eventually.h"
#include "LoopbackPupil.h"
#include "Ports.h"
#include "TempDir.h"

#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace tavelcast::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Tavelcast copied into its own application folder with an Options.ini.
struct Classroom {
    explicit Classroom(const std::string& options = {}) : port(freePort()) {
        fs::copy_file(TAVELCAST_EXE, app.path() / "Tavelcast");
        writeFile(app.path() / "Options.ini",
                  options.empty() ? "[IniSettings]\r\nSIP=127.0.0.1\r\nSPort=" +
                                        std::to_string(port) + "\r\n"
                                  : options);
        process = std::make_unique<ChildProcess>((app.path() / "Tavelcast").string(),
                                                 std::vector<std::string>{},
                                                 std::vector<std::string>{"QT_QPA_PLATFORM=offscreen"});
    }
    bool listening() {
        return eventually([&] { return canConnect(port); }, 20s);
    }

    TempDir app;
    std::uint16_t port;
    std::unique_ptr<ChildProcess> process;
};

} // namespace

TEST(Executable, StoresSnapshotsByteExactAndEndsCleanlyOnSigterm) {
    Classroom room;
    ASSERT_TRUE(room.listening()) << room.process->output();
    EXPECT_TRUE(fs::is_directory(room.app.path() / "Storage"));

    std::string payload(300'000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 13 + 5);
    }
    LoopbackPupil pupil(room.port);
    pupil.sendSnapshot(payload);
    ASSERT_EQ(pupil.readLine(), "IDLE");
    // 127.0.0.1 has the reverse name "localhost".
    EXPECT_EQ(readFile(room.app.path() / "Storage" / "localhost.jpg"), payload);

    // Screen sending is off and the disallow rule is on after start-up.
    pupil.send("IDLE\r\nGetDisallowedApps\r\n");
    EXPECT_EQ(pupil.readLine(), "");

    room.process->signal(SIGTERM);
    const auto status = room.process->waitExit(20s);
    ASSERT_TRUE(status.has_value()) << "Tavelcast did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << room.process->output();
    EXPECT_TRUE(pupil.waitClosed());
}

TEST(Executable, FiftyPupilsSomeMidPayloadSurviveShutdownBySigint) {
    Classroom room;
    ASSERT_TRUE(room.listening()) << room.process->output();
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (int i = 0; i < 50; ++i) {
        pupils.push_back(std::make_unique<LoopbackPupil>(room.port, "127.0.0." + std::to_string(2 + i)));
        if (i % 3 == 0) {
            pupils.back()->send("GetSnapShot\r\n5000000\r\n" + std::string(100000, 'x'));
        } else {
            pupils.back()->sendSnapshot("pupil " + std::to_string(i));
        }
    }
    for (int i = 0; i < 50; ++i) {
        if (i % 3 != 0) {
            ASSERT_EQ(pupils[i]->readLine(), "IDLE") << "pupil " << i;
        }
    }
    room.process->signal(SIGINT);
    const auto status = room.process->waitExit(30s);
    ASSERT_TRUE(status.has_value()) << "Tavelcast did not end after SIGINT";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << room.process->output();
    for (auto& pupil : pupils) {
        EXPECT_TRUE(pupil->waitClosed());
    }
    // Pupils cut off mid-payload left nothing behind; the others' files are whole.
    EXPECT_FALSE(fs::exists(room.app.path() / "Storage" / "127.0.0.2.jpg"));
    EXPECT_EQ(readFile(room.app.path() / "Storage" / "127.0.0.3.jpg"), "pupil 1");
}

TEST(Executable, ListensOnExactlyTheConfiguredAddress) {
    const auto port = freePort();
    Classroom room("[IniSettings]\nSIP=127.0.0.7\nSPort=" + std::to_string(port) + "\n");
    room.port = port;
    ASSERT_TRUE(eventually(
        [&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            ::inet_pton(AF_INET, "127.0.0.7", &a.sin_addr);
            const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            return ok;
        },
        20s));
    EXPECT_FALSE(canConnect(port)) << "also listening on 127.0.0.1";
}
