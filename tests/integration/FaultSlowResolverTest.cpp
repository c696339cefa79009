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
    ASSERT_TRUE(room.notifying.waitConnects(3));

    // The snapshots make the connection threads resolve their names: 5 s each, in parallel.
    for (auto& pupil : pupils) {
        pupil->sendSnapshot("snapshot");
    }
    ASSERT_TRUE(eventually([&] { return room.resolver->lookups.load() == 3; }));
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

// Measures the UI thread's wait for names that are not cached: a pupil that connected
// but has not sent a snapshot yet, and a name whose cache entry has expired. The cache
// guarantees one lookup per address per lifetime of its entry; this test holds that bound
// and prints how long each uncached command kept the UI thread (and the accept of a new
// pupil, which waits for the live list's lock).
TEST(FaultSlowResolver, UncachedNamesAreLookedUpOncePerEntryLifetime) {
    SlowNamesClassroom room;
    LoopbackPupil pupil(room.server.localPort(), "127.0.0.2");
    ASSERT_TRUE(room.notifying.waitConnects(1));

    // The command runs on a stand-in for the UI thread; while it waits on the resolver, a
    // new pupil arrives: how long until its connect handler runs?
    std::chrono::milliseconds first{0};
    std::thread ui([&] {
        first = SlowNamesClassroom::timed([&] {
            EXPECT_EQ(room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockON").delivered, 1u);
        });
    });
    ASSERT_TRUE(eventually([&] { return room.resolver->lookups.load() == 1; }));
    std::chrono::milliseconds acceptWait{0};
    {
        const auto start = Clock::now();
        LoopbackPupil late(room.server.localPort(), "127.0.0.3");
        EXPECT_TRUE(room.notifying.waitConnects(2, ResolverDelay + 10s));
        acceptWait = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
    ui.join();
    // The latecomer has gone again, and left the live list.
    ASSERT_TRUE(eventually([&] { return room.server.connectionCount() == 1; }));
    EXPECT_EQ(pupil.readLine(2s), "KeyLockON");
    EXPECT_EQ(room.resolver->lookups.load(), 1);

    const auto cached = SlowNamesClassroom::timed(
        [&] { room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockOFF"); });
    EXPECT_LT(cached, CachedBound);
    EXPECT_EQ(room.resolver->lookups.load(), 1) << "looked up again within the entry's life";

    // Past the 300 s life of a name, the next command looks it up again.
    room.skew = std::chrono::duration_cast<Clock::duration>(301s);
    const auto expired = SlowNamesClassroom::timed(
        [&] { room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockON"); });
    EXPECT_EQ(room.resolver->lookups.load(), 2);

    std::cout << "[figure] SendToSelectedClients, 1 pupil, resolver delay " << ResolverDelay.count()
              << " s: uncached " << first.count() << " ms, cached " << cached.count()
              << " ms, after the entry expired " << expired.count()
              << " ms; a pupil connecting meanwhile waited " << acceptWait.count()
              << " ms for its connect handler\n";
    RecordProperty("uncached_ms", static_cast<int>(first.count()));
    RecordProperty("expired_ms", static_cast<int>(expired.count()));
    RecordProperty("accept_wait_ms", static_cast<int>(acceptWait.count()));
}

// What the UI thread should get: a command to selected pupils never waits on the resolver,
// cached or not. Fails today (the walk resolves uncached names on the UI thread, under the
// live list's lock, one after another); enable it with the fix in HostNames /
// CommandDispatch.
TEST(FaultSlowResolver, DISABLED_UncachedNamesDoNotFreezeTheUiThread) {
    SlowNamesClassroom room;
    LoopbackPupil a(room.server.localPort(), "127.0.0.2");
    LoopbackPupil b(room.server.localPort(), "127.0.0.3");
    ASSERT_TRUE(room.notifying.waitConnects(2));
    const auto took = SlowNamesClassroom::timed(
        [&] { room.dispatch.SendToSelectedClients({"pupil-a"}, "KeyLockON"); });
    EXPECT_LT(took, CachedBound);
}
