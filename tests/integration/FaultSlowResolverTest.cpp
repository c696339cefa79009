// A name resolver that takes 5 s to answer (a DNS server far away or gone). Commands from
// the teacher's UI thread must not wait on it once a name is cached; the tests below
// measure how long CommandDispatch keeps the UI thread for cached and uncached names.

#include "Eventually.h"
#include "InProcessServer.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"
#include "net/CommandDispatch.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <iostream>
#include <thread>

using namespace tavelcast;
using namespace tavelcast::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto ResolverDelay = 5s;
// What a UI-thread command may cost when every name it needs is cached.
constexpr auto CachedBound = 250ms;

// Answers from a table, but only after `delay`; release() lets every waiting lookup
// answer at once (for teardown).
class SlowResolver : public NameResolver {
public:
    SlowResolver(std::map<std::string, std::string> names, std::chrono::milliseconds delay)
        : m_names(std::move(names)), m_delay(delay) {}

    std::optional<std::string> reverseLookup(const std::string& ipv4) override {
        ++lookups;
        std::unique_lock lock(m_mutex);
        m_released.wait_for(lock, m_delay, [&] { return m_release; });
        if (const auto it = m_names.find(ipv4); it != m_names.end()) {
            return it->second;
        }
        return std::nullopt;
    }
    void release() {
        std::lock_guard lock(m_mutex);
        m_release = true;
        m_released.notify_all();
    }

    std::atomic<int> lookups{0};

private:
    std::map<std::string, std::string> m_names;
    std::chrono::milliseconds m_delay;
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_release = false;
};

// The server core on loopback with the slow resolver and a clock the test can move on.
struct SlowNamesClassroom {
    SlowNamesClassroom()
        : resolver(std::make_shared<SlowResolver>(
              std::map<std::string, std::string>{
                  {"127.0.0.2", "pupil-a"}, {"127.0.0.3", "pupil-b"}, {"127.0.0.4", "pupil-c"}},
              ResolverDelay)),
          hostNames(resolver, 300s, 30s, [this] { return Clock::now() + skew.load(); }),
          handler(ConnectionHandler::Deps{registry, hostNames, state, storage.dir()}),
          notifying(handler), server(notifying, InProcessServer::withLoopback({})),
          dispatch(server, hostNames, dialogs) {
        server.activate();
    }
    ~SlowNamesClassroom() {
        resolver->release();
        server.shutdown();
    }

    template <typename F> static std::chrono::milliseconds timed(F&& f) {
        const auto start = Clock::now();
        f();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }

    std::atomic<Clock::duration> skew{Clock::duration::zero()};
    TempDir storage;
    ClientRegistry registry;
    ServerState state;
    std::shared_ptr<SlowResolver> resolver;
    HostNames hostNames;
    ConnectionHandler handler;
    NotifyingHandlers notifying;
    TcpServer server;
    RecordingDialogs dialogs;
    CommandDispatch dispatch;
};

} // namespace

TEST(FaultSlowResolver, CommandsDoNotWaitWhileConnectionThreadsResolveOrOnceNamesAreCached) {
    SlowNamesClassroom room;
    std::vector<std::unique_ptr<LoopbackPupil>> pupils;
    for (const char* source : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        pupils.push_back(std::make_unique<LoopbackPupil>(room.server.localPort(), source));
    }
    // The connection threads resolve their names when they connect: 5 s each, in parallel.
    // Snapshots sent meanwhile wait behind the lookup on their own connection.
    ASSERT_TRUE(eventually([&] { return room.resolver->lookups.load() == 3; }));
    for (auto& pupil : pupils) {
        pupil->sendSnapshot("snapshot");
    }
    // Meanwhile a command to the whole class needs no name and goes out at once.
    const auto toAll = SlowNamesClassroom::timed(
        [&] { EXPECT_EQ(room.dispatch.SendToAllClients("KeyLockON").delivered, 3u); });
    EXPECT_LT(toAll, CachedBound) << "a command to all waited on the resolver";
    for (auto& pupil : pupils) {
        EXPECT_EQ(pupil->readLine(2s), "KeyLockON");
    }
    for (auto& pupil : pupils) {
        EXPECT_EQ(pupil->readLine(ResolverDelay + 10s), "IDLE");
    }

    // The names are cached now: a command to selected pupils does not wait.
    const auto selected = SlowNamesClassroom::timed([&] {
        EXPECT_EQ(room.dispatch.SendToSelectedClients({"pupil-b"}, "KeyLockOFF").delivered, 1u);
    });
    std::cout << "[figure] SendToSelectedClients, 3 pupils, names cached: " << selected.count()
              << " ms (resolver delay " << ResolverDelay.count() << " s)\n";
    RecordProperty("cached_ms", static_cast<int>(selected.count()));
    EXPECT_LT(selected, CachedBound);
    EXPECT_EQ(pupils[1]->readLine(2s), "KeyLockOFF");
    EXPECT_EQ(room.resolver->lookups.load(), 3) << "a cached name was looked up again";
}

// The UI thread never waits on the resolver. A pupil's connection thread looks its name
// up when it connects; until the answer comes the pupil is known by its address. Once
// found, the name is used, and after the entry's time is up the UI thread goes on using it
// while the connection thread looks it up again with the next snapshot.
TEST(FaultSlowResolver, NamesAreLookedUpOnConnectionThreadsOnly) {
    SlowNamesClassroom room;
    LoopbackPupil pupil(room.server.localPort(), "127.0.0.2");
    ASSERT_TRUE(eventually([&] { return room.resolver->lookups.load() == 1; }));

    const auto during = SlowNamesClassroom::timed([&] {
        EXPECT_EQ(room.dispatch.SendToSelectedClients({"127.0.0.2"}, "KeyLockON").delivered, 1u);
    });
    EXPECT_LT(during, CachedBound);
    EXPECT_EQ(pupil.readLine(2s), "KeyLockON");

    ASSERT_TRUE(room.notifying.waitConnects(1, ResolverDelay + 10s));
    const auto cached = SlowNamesClassroom::timed([&] {
        EXPECT_EQ(room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockOFF").delivered, 1u);
    });
    EXPECT_LT(cached, CachedBound);
    EXPECT_EQ(pupil.readLine(2s), "KeyLockOFF");

    // Past the 300 s life of the name.
    room.skew = std::chrono::duration_cast<Clock::duration>(301s);
    const auto expired = SlowNamesClassroom::timed([&] {
        EXPECT_EQ(room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockON").delivered, 1u);
    });
    EXPECT_LT(expired, CachedBound);
    EXPECT_EQ(pupil.readLine(2s), "KeyLockON");
    EXPECT_EQ(room.resolver->lookups.load(), 1) << "the UI thread looked a name up";

    pupil.sendSnapshot("snapshot");
    EXPECT_EQ(pupil.readLine(ResolverDelay + 10s), "IDLE");
    EXPECT_EQ(room.resolver->lookups.load(), 2) << "the snapshot did not refresh the name";

    std::cout << "[figure] SendToSelectedClients, 1 pupil, resolver delay " << ResolverDelay.count()
              << " s: while resolving " << during.count() << " ms, cached " << cached.count()
              << " ms, after the entry expired " << expired.count() << " ms\n";
    RecordProperty("resolving_ms", static_cast<int>(during.count()));
    RecordProperty("expired_ms", static_cast<int>(expired.count()));
}

// A command to selected pupils never waits on the resolver, cached or not.
TEST(FaultSlowResolver, UncachedNamesDoNotFreezeTheUiThread) {
    SlowNamesClassroom room;
    LoopbackPupil a(room.server.localPort(), "127.0.0.2");
    LoopbackPupil b(room.server.localPort(), "127.0.0.3");
    ASSERT_TRUE(room.notifying.waitConnects(2));
    const auto took = SlowNamesClassroom::timed(
        [&] { room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockON"); });
    EXPECT_LT(took, CachedBound);
}
