// Pupils that announce the largest allowed snapshot (64 MiB) and then send almost nothing.
// Memory must follow the bytes that actually arrived, not the counts that were claimed:
// otherwise a few hundred such connections (the cap is 1,000) exhaust the teacher's PC.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "StuckPupil.h"
#include "net/ProtocolWords.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/ioctl.h>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;

namespace {

// Resident memory of this process, in KiB.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

} // namespace

// Pupils that announce 64 MiB and send two bytes must not cost 64 MiB each.
TEST(FaultPayloadClaim, MemoryFollowsReceivedBytesNotClaimedCounts) {
    InProcessServer server;
    const long before = residentKiB();
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (int i = 0; i < 20; ++i) {
        pupils.push_back(std::make_unique<LoopbackPupil>(server.port()));
        pupils.back()->send("GetSnapShot\r\n" + std::to_string(framing::MaxPayloadBytes) +
                            "\r\nAB");
    }
    // Every handler has taken its bytes and waits inside the payload: a byte sent now can
    // only be taken by the payload read.
    const auto drained = [&](LoopbackPupil& pupil) {
        const int fd = serverSideFd(server.port(), pupil);
        return eventually([&] {
            int queued = -1;
            return ::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0;
        });
    };
    for (auto& pupil : pupils) {
        ASSERT_TRUE(drained(*pupil));
        pupil->send("C");
        ASSERT_TRUE(drained(*pupil));
    }
    const long grown = residentKiB() - before;
    std::cout << "[figure] 20 pupils claiming 64 MiB each and sending 2 bytes: resident memory "
              << "grew by " << grown / 1024 << " MiB\n";
    // Following the claims would cost 20 x 64 MiB = 1,280 MiB. The bound leaves room for
    // what 20 connection threads cost by themselves (about 130 MiB under ThreadSanitizer).
    EXPECT_LT(grown, 400 * 1024) << "memory follows the claimed counts";
}
