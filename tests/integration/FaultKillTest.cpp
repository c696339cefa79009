// kill -9 in the middle of writes. The real Tavelcast is killed 20 times while simulated
// pupils send large snapshots as fast as they can: afterwards every *.jpg in Storage/ is
// byte for byte a complete payload one of them sent (leftover temporary files are allowed,
// never under a .jpg name). And a process saving the INI files is killed 20 times in the
// middle of its saves: the files always hold one whole save.

#include "app/AtomicFile.h"
#include "ChildProcess.h"
#include "DirectoryWatch.h"
#include "Eventually.h"
#include "LoopbackPupil.h"
#include "Ports.h"
#include "SanitizerBuild.h"
#include "TempDir.h"
#include "app/IniSettings.h"
#include "disallow/DisallowedStore.h"

// The simulated pupils' payload generator, to rebuild every payload found in Storage/.
#include "../../tools/tavelseats-sim/SyntheticPayload.cpp"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int Rounds = 20;
constexpr std::size_t PayloadSize = 400'000;

// Checks that bytes are exactly the synthetic payload their label names:
// FF D8 " tavelseats-sim <name> snapshot <sequence> " ... FF D9. Returns "" or the fault.
std::string checkSyntheticPayload(const std::string& bytes) {
    if (bytes.size() != PayloadSize) {
        return "size " + std::to_string(bytes.size());
    }
    const std::string prefix = " tavelseats-sim ";
    if (bytes.compare(2, prefix.size(), prefix) != 0) {
        return "no label";
    }
    const std::size_t nameStart = 2 + prefix.size();
    const std::size_t nameEnd = bytes.find(" snapshot ", nameStart);
    if (nameEnd == std::string::npos || nameEnd - nameStart > 64) {
        return "no pupil name";
    }
    const std::size_t seqStart = nameEnd + 10;
    const std::size_t seqEnd = bytes.find(' ', seqStart);
    if (seqEnd == std::string::npos || seqEnd == seqStart || seqEnd - seqStart > 20) {
        return "no sequence number";
    }
    const std::string name = bytes.substr(nameStart, nameEnd - nameStart);
    const std::string sequence = bytes.substr(seqStart, seqEnd - seqStart);
    if (sequence.find_first_not_of("0123456789") != std::string::npos) {
        return "bad sequence number";
    }
    const auto expected = sim::makeSyntheticPayload(name, std::stoull(sequence), PayloadSize);
    if (!std::equal(bytes.begin(), bytes.end(), expected.begin(), expected.end(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
        return "bytes differ from " + name + "'s snapshot " + sequence;
    }
    return {};
}

} // namespace

TEST(FaultKill, ServerKilledDuringHeavySnapshotWritesLeavesOnlyWholePayloads) {
    if (skipHeavyFaults()) {
        GTEST_SKIP() << "twenty restarts of the real program run in the plain build only "
                        "(TAVELCAST_HEAVY_FAULTS=1 runs them)";
    }
    TempDir app;
    const std::uint16_t port = freePort();
    fs::copy_file(TAVELCAST_EXE, app.path() / "Tavelcast");
    writeFile(app.path() / "Options.ini",
              "[IniSettings]\r\nSIP=127.0.0.1\r\nSPort=" + std::to_string(port) + "\r\n");
    const fs::path storage = app.path() / "Storage";
    fs::create_directory(storage);

    int verified = 0;
    for (int round = 0; round < Rounds; ++round) {
        DirectoryWatch watch(storage.string());
        ChildProcess server((app.path() / "Tavelcast").string(), {}, {"QT_QPA_PLATFORM=offscreen"});
        ASSERT_TRUE(eventually([&] { return canConnect(port); }, 20s))
            << "round " << round << ": " << server.output();
        ChildProcess pupils(TAVELSEATS_SIM_EXE,
                            {"--port", std::to_string(port), "--clients", "6", "--distinct-sources",
                             "--name-prefix", "kill" + std::to_string(round), "--payload-size",
                             std::to_string(PayloadSize), "--snapshot-rate", "25", "--duration",
                             "60"});

        // Kill at a different point of the writes each round: after some finished
        // snapshots, and on even rounds just as the next temporary file appears.
        const int finished = 3 + (round * 7) % 17;
        ASSERT_TRUE(watch.waitFor(
            finished,
            [](DirectoryWatch::Event e, const std::string& name) {
                return e == DirectoryWatch::Event::RenamedInto && name.ends_with(".jpg");
            },
            30s))
            << "round " << round << ": the pupils' snapshots were not being stored";
        if (round % 2 == 0) {
            ASSERT_TRUE(watch.waitFor(
                1,
                [](DirectoryWatch::Event e, const std::string& name) {
                    return e == DirectoryWatch::Event::Created && !name.ends_with(".jpg");
                },
                30s));
        }
        server.signal(SIGKILL);
        const auto status = server.waitExit(20s);
        ASSERT_TRUE(status.has_value());
        ASSERT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
        // The pupils' connections are gone, so the simulator ends by itself.
        ASSERT_TRUE(pupils.waitExit(20s).has_value()) << "the simulated pupils did not end";

        for (const auto& entry : fs::directory_iterator(storage)) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".jpg")) {
                const std::string fault = checkSyntheticPayload(readFile(entry.path()));
                EXPECT_EQ(fault, "") << "round " << round << ": " << name << " is torn";
                ++verified;
            } else {
                EXPECT_EQ(name.rfind(TemporaryFilePrefix, 0), 0u)
                    << "round " << round << ": unexpected file " << name;
            }
        }
    }
    int leftovers = 0;
    for (const auto& entry : fs::directory_iterator(storage)) {
        leftovers += entry.path().filename().string().ends_with(".jpg") ? 0 : 1;
    }
    std::cout << "[figure] " << Rounds << " kill -9 of Tavelcast during snapshot writes ("
              << PayloadSize << "-byte payloads, 6 pupils at 25/s): " << verified
              << " stored files checked byte for byte, none torn; " << leftovers
              << " temporary files left in Storage/ at the end (none named *.jpg)\n";

    // After all that, the program starts and stores snapshots again.
    ChildProcess server((app.path() / "Tavelcast").string(), {}, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(eventually([&] { return canConnect(port); }, 20s)) << server.output();
    LoopbackPupil pupil(port);
    pupil.sendSnapshot("after the storm");
    EXPECT_EQ(pupil.readLine(), "IDLE");
}

TEST(FaultKill, IniSavesKilledMidWayLeaveWholeFiles) {
    TempDir app;
    const DisallowedStore store(app.dir());
    const std::string options = app.dir() + "Options.ini";
    // Two lists that differ in every slot, and two settings pairs written together.
    std::vector<std::string> listA, listB;
    for (int i = 0; i < DisallowedStore::SlotCount; ++i) {
        listA.push_back("alpha_program_" + std::to_string(i) + ".exe");
    }
    for (int i = 0; i < 60; ++i) {
        listB.push_back("beta_" + std::to_string(i * 3) + "_game.exe");
    }
    store.SaveDisallowedList(listA);
    WriteIniSettings(options, {{"SIP", "127.0.0.1"}, {"SPort", "4100"}});

    int killedAfterSaves = 0;
    for (int round = 0; round < Rounds; ++round) {
        DirectoryWatch watch(app.path().string());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The saver: the editor's and the settings' saves, back to back, until killed.
            for (long i = 0;; ++i) {
                try {
                    store.SaveDisallowedList(i % 2 == 0 ? listB : listA);
                    WriteIniSettings(
                        options,
                        i % 2 == 0
                            ? std::vector<std::pair<std::string, std::string>>{{"SIP", "127.0.0.2"},
                                                                               {"SPort", "4200"}}
                            : std::vector<std::pair<std::string, std::string>>{{"SIP", "127.0.0.1"},
                                                                               {"SPort", "4100"}});
                } catch (...) {
                    ::_exit(3);
                }
            }
        }
        // Kill it once some saves have finished, on odd rounds just as a temporary file of
        // the next save appears.
        const int saves = 1 + (round * 5) % 11;
        const bool sawSaves = watch.waitFor(
            saves,
            [](DirectoryWatch::Event e, const std::string&) {
                return e == DirectoryWatch::Event::RenamedInto;
            },
            20s);
        if (sawSaves && round % 2 == 1) {
            watch.waitFor(
                1,
                [](DirectoryWatch::Event e, const std::string& name) {
                    return e == DirectoryWatch::Event::Created &&
                           name.rfind(TemporaryFilePrefix, 0) == 0;
                },
                20s);
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(sawSaves) << "round " << round << ": the saver made no progress";
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver failed (exit " << WEXITSTATUS(status) << ")";
        killedAfterSaves += saves;

        const auto list = store.LoadDisallowedList();
        EXPECT_TRUE(list == listA || list == listB)
            << "round " << round << ": a mixed or torn list of " << list.size() << " names";
        const std::string sip = ReadIniSetting(options, "SIP");
        const std::string sport = ReadIniSetting(options, "SPort");
        EXPECT_TRUE((sip == "127.0.0.1" && sport == "4100") ||
                    (sip == "127.0.0.2" && sport == "4200"))
            << "round " << round << ": Options.ini holds SIP=" << sip << " SPort=" << sport;
    }
    std::cout << "[figure] " << Rounds << " kill -9 of a process saving DisallowedApplications.ini "
              << "and Options.ini (" << killedAfterSaves << " finished saves before the kills): "
              << "every file held one whole save\n";
}
