// A pupil whose connection is reset (its PC dies, SO_LINGER 0 then close) in the middle of
// sending a snapshot: its last complete snapshot stays in the storage folder untouched, no
// half-written file is left, and other pupils are not disturbed.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "StuckPupil.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

using namespace tavelcast::testing;
using namespace std::chrono_literals;

namespace {

struct CutPoint {
    const char* name;
    std::size_t payloadBytesSent; // of a 200,000-byte snapshot; npos: only the word
    bool sendCountLine;
};

class PupilResetMidPayload : public ::testing::TestWithParam<CutPoint> {};

std::string patterned(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed) * 7) & 0xff);
    }
    bytes[0] = '\xff';
    bytes[1] = '\xd8';
    bytes[size - 2] = '\xff';
    bytes[size - 1] = '\xd9';
    return bytes;
}

// Sends RST instead of FIN on close.
void resetOnClose(int fd) {
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
}

} // namespace

TEST_P(PupilResetMidPayload, OldFileStaysWholeAndOthersCarryOn) {
    const CutPoint cut = GetParam();
    InProcessServer server;
    server.resolver->set("127.0.0.2", "pupil-a");
    server.resolver->set("127.0.0.3", "pupil-b");

    const std::string oldPayload = patterned(150'000, 1);
    const std::string newPayload = patterned(200'000, 2);

    LoopbackPupil other(server.port(), "127.0.0.3");
    auto victim = std::make_unique<LoopbackPupil>(server.port(), "127.0.0.2");
    victim->sendSnapshot(oldPayload);
    ASSERT_EQ(victim->readLine(), "IDLE");
    ASSERT_EQ(server.storedFile("pupil-a"), oldPayload);

    std::string partial = "GetSnapShot\r\n";
    if (cut.sendCountLine) {
        partial += std::to_string(newPayload.size()) + "\r\n";
        partial += newPayload.substr(0, cut.payloadBytesSent);
    }
    victim->send(partial);
    // Wait until the handler has taken every byte sent so far: it is now inside the
    // exchange, waiting for the rest.
    const int serverFd = serverSideFd(server.port(), *victim);
    ASSERT_GE(serverFd, 0);
    ASSERT_TRUE(eventually([&] {
        int queued = -1;
        return ::ioctl(serverFd, FIONREAD, &queued) == 0 && queued == 0;
    }));

    resetOnClose(victim->fd());
    victim.reset(); // RST
    ASSERT_TRUE(server.notifying.waitDisconnects(1));

    EXPECT_EQ(server.storedFile("pupil-a"), oldPayload) << "the old snapshot was touched";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(server.storage.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"pupil-a.jpg"}) << "a partial or temporary file";
    EXPECT_FALSE(server.registry.findByIP("127.0.0.2").has_value());

    // The other pupil and new pupils carry on.
    other.sendSnapshot(newPayload);
    ASSERT_EQ(other.readLine(), "IDLE");
    EXPECT_EQ(server.storedFile("pupil-b"), newPayload);
    LoopbackPupil again(server.port(), "127.0.0.2");
    again.sendSnapshot(newPayload);
    ASSERT_EQ(again.readLine(), "IDLE");
    EXPECT_EQ(server.storedFile("pupil-a"), newPayload);
}

INSTANTIATE_TEST_SUITE_P(CutPoints, PupilResetMidPayload,
                         ::testing::Values(CutPoint{"AfterTheWord", 0, false},
                                           CutPoint{"AfterTheCount", 0, true},
                                           CutPoint{"HalfThePayload", 100'000, true},
                                           CutPoint{"OneByteShort", 199'999, true}),
                         [](const auto& info) { return std::string(info.param.name); });
