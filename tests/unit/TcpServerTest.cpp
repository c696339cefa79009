#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>
#include <thread>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;

namespace {

std::string payloadOf(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i * 7);
    }
    if (size >= 4) {
        bytes[0] = '\xFF';
        bytes[1] = '\xD8';
        bytes[size - 2] = '\xFF';
        bytes[size - 1] = '\xD9';
    }
    return bytes;
}

} // namespace

TEST(TcpServer, ConnectAndDisconnectAreLoggedWithoutARegistryRow) {
    InProcessServer s;
    {
        LoopbackPupil pupil(s.port());
        ASSERT_TRUE(s.notifying.waitConnects(1));
    }
    ASSERT_TRUE(s.notifying.waitDisconnects(1));
    EXPECT_EQ(s.registry.logLines(), (std::vector<std::string>{"Memo1", "127.0.0.1 Connected",
                                                               "Disconnected : 127.0.0.1"}));
    EXPECT_TRUE(s.registry.rows().empty());
}

TEST(TcpServer, SnapshotsAreStoredByteExactAndAnsweredIdle) {
    InProcessServer s;
    s.resolver->set("127.0.0.1", "PC01");
    LoopbackPupil pupil(s.port());
    const std::string big = payloadOf(1'500'000, 3);  // many network pieces
    pupil.sendSnapshot(payloadOf(1000, 1));
    EXPECT_EQ(pupil.readLine(), "IDLE");
    pupil.sendSnapshot(big);
    EXPECT_EQ(pupil.readLine(), "IDLE");
    EXPECT_EQ(s.storedFile("PC01"), big);
    const auto rows = s.registry.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].AA, 1);
    EXPECT_EQ(rows[0].PCName, "PC01");
    EXPECT_EQ(rows[0].IP, "127.0.0.1");
}

TEST(TcpServer, TwoRequestsInOneSegmentAreAnsweredInOrder) {
    InProcessServer s;
    s.state.setStreamMode(StreamModeValue::Empty);
    LoopbackPupil pupil(s.port());
    // The lower-case word gets no answer; the list comes first, then the snapshot's IDLE.
    pupil.send("idle\r\nGetDisallowedApps\r\nGetSnapShot\n2\nokIDLE\n");
    EXPECT_EQ(pupil.readLine(), "");
    EXPECT_EQ(pupil.readLine(), "IDLE");
}

TEST(TcpServer, BadInputEndsOnlyThatConnection) {
    const std::string cases[] = {
        std::string(16385, 'L'),
        "GetSnapShot\r\nabc\r\n",
        "GetSnapShot\r\n-1\r\n",
        "GetSnapShot\r\n99999999999\r\n",
        "GetSnapShot\r\n2147483648\r\n",
        std::string("\x00\x01\xFF\xFE\x80garbage", 12) + std::string(17000, '\x07'),
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.substr(0, 24));
        InProcessServer s;
        s.resolver->set("127.0.0.2", "VICTIM");
        s.resolver->set("127.0.0.3", "BYSTANDER");
        LoopbackPupil bystander(s.port(), "127.0.0.3");
        LoopbackPupil victim(s.port(), "127.0.0.2");
        victim.sendSnapshot("old");
        ASSERT_EQ(victim.readLine(), "IDLE");

        victim.send(bad);
        EXPECT_TRUE(victim.waitClosed());
        EXPECT_EQ(s.storedFile("VICTIM"), "old");

        bystander.sendSnapshot("still here");
        EXPECT_EQ(bystander.readLine(), "IDLE");
        EXPECT_EQ(s.storedFile("BYSTANDER"), "still here");
    }
}

TEST(TcpServer, PayloadCutShortByDisconnectLeavesTheOldFile) {
    InProcessServer s;
    s.resolver->set("127.0.0.1", "PC01");
    {
        LoopbackPupil pupil(s.port());
        pupil.sendSnapshot("old");
        ASSERT_EQ(pupil.readLine(), "IDLE");
        pupil.send("GetSnapShot\r\n100000\r\n" + std::string(5000, 'x'));
    }
    ASSERT_TRUE(s.notifying.waitDisconnects(1));
    EXPECT_EQ(s.storedFile("PC01"), "old");
    EXPECT_TRUE(s.registry.rows().empty());
}

TEST(TcpServer, PupilsWithOneHostNameShareOneRowAndOneFile) {
    InProcessServer s;
    s.resolver->set("127.0.0.2", "TWIN");
    s.resolver->set("127.0.0.3", "TWIN");
    LoopbackPupil a(s.port(), "127.0.0.2");
    LoopbackPupil b(s.port(), "127.0.0.3");
    const std::string pa = payloadOf(400'000, 1);
    const std::string pb = payloadOf(400'000, 2);
    for (int round = 0; round < 20; ++round) {
        std::thread sendA([&] { a.sendSnapshot(pa); });
        b.sendSnapshot(pb);
        sendA.join();
        ASSERT_EQ(a.readLine(), "IDLE");
        ASSERT_EQ(b.readLine(), "IDLE");
        const std::string stored = s.storedFile("TWIN");
        ASSERT_TRUE(stored == pa || stored == pb) << "torn or mixed file in round " << round;
    }
    const auto rows = s.registry.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].IP == "127.0.0.2" || rows[0].IP == "127.0.0.3");
}

TEST(TcpServer, DisconnectRemovesOnlyTheRowOfItsAddress) {
    InProcessServer s;
    s.resolver->set("127.0.0.2", "PC02");
    s.resolver->set("127.0.0.3", "PC03");
    LoopbackPupil stays(s.port(), "127.0.0.3");
    stays.sendSnapshot("x");
    ASSERT_EQ(stays.readLine(), "IDLE");
    {
        LoopbackPupil leaves(s.port(), "127.0.0.2");
        leaves.sendSnapshot("y");
        ASSERT_EQ(leaves.readLine(), "IDLE");
        ASSERT_EQ(s.registry.rows().size(), 2u);
    }
    ASSERT_TRUE(s.notifying.waitDisconnects(1));
    const auto rows = s.registry.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].PCName, "PC03");
}

TEST(TcpServer, AWriteToAPupilThatNeverReadsEndsAtTheDeadline) {
    TcpServerOptions options;
    options.writeDeadline = 300ms;
    InProcessServer s(options);
    LoopbackPupil sleeper(s.port());
    ASSERT_TRUE(s.notifying.waitConnects(1));
    const std::string line(16000, 'k');
    const auto start = std::chrono::steady_clock::now();
    bool timedOut = false;
    for (int i = 0; i < 2000 && !timedOut; ++i) {  // far more than the socket buffers hold
        s.server.walk([&](Connection& c) {
            try {
                c.writeLine(line);
            } catch (const WriteTimeout&) {
                timedOut = true;
            }
        });
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(timedOut);
    EXPECT_LT(elapsed, 5s);
    EXPECT_TRUE(s.notifying.waitDisconnects(1));
}

TEST(TcpServer, ConnectionCapRefusesTheSurplusAndRecovers) {
    TcpServerOptions options;
    options.maxConnections = 5;
    InProcessServer s(options);
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (int i = 0; i < 5; ++i) {
        pupils.push_back(std::make_unique<LoopbackPupil>(s.port()));
    }
    ASSERT_TRUE(s.notifying.waitConnects(5));
    LoopbackPupil surplus(s.port());
    EXPECT_TRUE(surplus.waitClosed());
    pupils.clear();
    ASSERT_TRUE(s.notifying.waitDisconnects(5));
    ASSERT_TRUE(eventually([&] { return s.server.connectionCount() == 0; }));
    LoopbackPupil later(s.port());
    later.sendSnapshot("z");
    EXPECT_EQ(later.readLine(), "IDLE");
}

TEST(TcpServer, BindFailuresAreReported) {
    InProcessServer running;
    struct Case {
        const char* address;
        int port;
    };
    const Case cases[] = {
        {"999.1.1.1", 0}, {"not-an-ip", 0}, {"127.0.0.1", 70000},
        {"127.0.0.1", -1}, {"127.0.0.1", running.port()},
    };
    for (const auto& c : cases) {
        NotifyingHandlers handlers(running.handler);
        TcpServerOptions options;
        options.address = c.address;
        options.port = c.port;
        TcpServer server(handlers, options);
        EXPECT_THROW(server.activate(), BindError) << c.address << ":" << c.port;
    }
}

TEST(TcpServer, ShutdownWithFiftyPupilsJoinsEveryThread) {
    auto s = std::make_unique<InProcessServer>();
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (int i = 0; i < 50; ++i) {
        pupils.push_back(std::make_unique<LoopbackPupil>(s->port()));
        if (i % 2 == 0) {
            // Half of them are in the middle of a payload when the server goes down.
            pupils.back()->send("GetSnapShot\r\n1000000\r\n" + std::string(30000, 'p'));
        } else {
            pupils.back()->send("IDLE\r\nGetSnapShot\r\n");
        }
    }
    ASSERT_TRUE(s->notifying.waitConnects(50));
    s->server.shutdown();
    EXPECT_EQ(s->notifying.disconnects(), 50);
    EXPECT_EQ(s->server.threadCount(), 0u);
    EXPECT_EQ(s->server.connectionCount(), 0u);
    const auto log = s->registry.logLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "Disconnected : 127.0.0.1"), 50);
    for (auto& pupil : pupils) {
        EXPECT_TRUE(pupil->waitClosed());
    }
    s.reset();
}
