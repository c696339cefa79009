// The storage folder fails under the server: a tiny tmpfs that fills up, or a folder
// remounted read-only. Snapshots to it fail and end only their own connection, the files
// already there stay whole, the other pupils carry on, and once the folder works again the
// next snapshot is stored. Needs root for the mounts; skips with a message otherwise.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "MountedFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace tavelcast::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string patterned(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed) * 17) & 0xff);
    }
    return bytes;
}

// Fills the file system of dir until not one more byte fits; returns the filler's path.
fs::path fillUp(const fs::path& dir) {
    const fs::path filler = dir / "filler.bin";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    const std::string block(4096, 'f');
    for (int i = 0; i < 100'000; ++i) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n < 0) {
            EXPECT_EQ(errno, ENOSPC);
            break;
        }
        if (n < static_cast<ssize_t>(block.size())) {
            continue; // the last partial block; the next write reports ENOSPC
        }
    }
    ::close(fd);
    return filler;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

enum class Breakage { FullTmpfs, ReadOnly };

class StorageFailure : public ::testing::TestWithParam<Breakage> {};

} // namespace

TEST_P(StorageFailure, SnapshotsFailAloneAndRecoverWhenTheFolderWorksAgain) {
    InProcessServer server;
    const std::string dir = server.storage.path().string();
    std::optional<MountedFolder> mount;
    if (GetParam() == Breakage::FullTmpfs) {
        mount.emplace(MountedFolder::tinyTmpfs(dir, 128 * 1024));
    } else {
        mount.emplace(MountedFolder::bindToItself(dir));
    }
    if (!mount->mounted()) {
        GTEST_SKIP() << mount->refused();
    }
    server.resolver->set("127.0.0.2", "pupil-a");
    server.resolver->set("127.0.0.3", "pupil-b");
    server.resolver->set("127.0.0.4", "pupil-c");

    // Before the fault: two pupils have stored a snapshot each.
    const std::string oldA = patterned(20'000, 1);
    const std::string oldB = patterned(12'000, 2);
    {
        LoopbackPupil a(server.port(), "127.0.0.2");
        LoopbackPupil b(server.port(), "127.0.0.3");
        a.sendSnapshot(oldA);
        b.sendSnapshot(oldB);
        ASSERT_EQ(a.readLine(), "IDLE");
        ASSERT_EQ(b.readLine(), "IDLE");
    }
    ASSERT_TRUE(server.notifying.waitDisconnects(2));

    fs::path filler;
    if (GetParam() == Breakage::FullTmpfs) {
        filler = fillUp(server.storage.path());
    } else {
        ASSERT_TRUE(mount->setReadOnly(true)) << "remount read-only refused";
    }

    // The fault: A's new snapshot cannot be stored; only A's connection ends.
    LoopbackPupil a(server.port(), "127.0.0.2");
    LoopbackPupil c(server.port(), "127.0.0.4");
    a.sendSnapshot(patterned(30'000, 3));
    EXPECT_TRUE(a.waitClosed()) << "a failed store did not end the connection";
    EXPECT_EQ(a.pending(), "") << "something was sent back for a failed store";
    ASSERT_TRUE(server.notifying.waitDisconnects(3));

    // C, connected all along, is still served.
    c.send("GetDisallowedApps\r\n");
    EXPECT_EQ(c.readLine(), "");
    EXPECT_FALSE(c.closedByServer());
    // The files already there are whole, and nothing half-written was left behind.
    EXPECT_EQ(server.storedFile("pupil-a"), oldA);
    EXPECT_EQ(server.storedFile("pupil-b"), oldB);
    std::vector<std::string> expected{"pupil-a.jpg", "pupil-b.jpg"};
    if (!filler.empty()) {
        expected.insert(expected.begin(), "filler.bin");
    }
    EXPECT_EQ(namesIn(server.storage.path()), expected);

    // The folder works again: the next snapshots are stored, on the old connection and on
    // a new one.
    if (GetParam() == Breakage::FullTmpfs) {
        fs::remove(filler);
    } else {
        ASSERT_TRUE(mount->setReadOnly(false));
    }
    const std::string newC = patterned(20'000, 4);
    c.sendSnapshot(newC);
    ASSERT_EQ(c.readLine(), "IDLE");
    EXPECT_EQ(server.storedFile("pupil-c"), newC);
    LoopbackPupil a2(server.port(), "127.0.0.2");
    const std::string newA = patterned(30'000, 5);
    a2.sendSnapshot(newA);
    ASSERT_EQ(a2.readLine(), "IDLE");
    EXPECT_EQ(server.storedFile("pupil-a"), newA);
    EXPECT_TRUE(server.server.active());
}

INSTANTIATE_TEST_SUITE_P(Breakages, StorageFailure,
                         ::testing::Values(Breakage::FullTmpfs, Breakage::ReadOnly),
                         [](const auto& info) {
                             return info.param == Breakage::FullTmpfs ? std::string("FullTmpfs")
                                                                      : std::string("ReadOnly");
                         });
