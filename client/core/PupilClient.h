#pragma once

#include "core/ClientSettings.h"
#include "core/PupilActions.h"
#include "core/ReconnectBackoff.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace tavelcast {

class LineReader;
class TeacherSocket;

// The pupil's side of the conversation with the teacher, on one network thread of its own.
//
// It reads the settings file, connects, and talks until the connection ends; then it
// waits (ReconnectBackoff) and connects again, for ever. While the settings file is
// missing or invalid it says so once through PupilActions::settingsProblem and reads the
// file again every settingsRetry.
//
// On a connection it asks for the disallowed list at once and every listInterval, and
// polls with "IDLE" every pollInterval. After a screen frame it polls again at once, but
// not sooner than 1/maxFramesPerSecond after the poll before. A "GetSnapShot" is answered
// with the snapshot's three pieces. A list line (empty, or starting with ';') is the
// disallowed list, whether it answers a request or follows a pushed "GetDisallowedApps":
// nothing ever waits for one. The answer to the pupil's own request also tells that the
// teacher's rule is on (the teacher answers only then), so it switches enforcement on; a
// pushed list changes only the names. Enforcement is off from each connect until then,
// and when the connection ends. A word it does not know is logged the first time and
// otherwise ignored. A bad count line or a cut payload ends the connection.
class PupilClient {
public:
    struct Options {
        std::string iniPath;
        std::chrono::milliseconds settingsRetry{3000};
        std::chrono::milliseconds pollInterval{500};
        std::chrono::milliseconds listInterval{60000};
        std::chrono::milliseconds connectTimeout{5000};
        int maxFramesPerSecond = 30;
        std::uint32_t backoffSeed = std::random_device{}();
    };

    PupilClient(PupilActions& actions, Options options);
    // Stops and joins the network thread.
    ~PupilClient();
    PupilClient(const PupilClient&) = delete;
    PupilClient& operator=(const PupilClient&) = delete;

    void start();
    void stop();

    // Connections made so far (for tests and the log).
    int connections() const { return m_connections.load(); }

private:
    void run();
    void talk(const ClientSettings& settings);
    void handleLine(const std::string& line, TeacherSocket& socket, LineReader& reader,
                    const ClientSettings& settings);
    void sendSnapshot(TeacherSocket& socket, const ClientSettings& settings);
    // Waits for the duration unless stop() comes first; returns false when stopping.
    bool pause(std::chrono::milliseconds duration);

    PupilActions& m_actions;
    Options m_options;
    ReconnectBackoff m_backoff;
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    std::set<std::string> m_unknownWords;
    bool m_snapshotFailureLogged = false;
    bool m_listPushPending = false;

    // The pupil's schedule on the current connection.
    using Clock = std::chrono::steady_clock;
    Clock::time_point m_lastPoll{};
    Clock::time_point m_nextPoll{};
    Clock::time_point m_nextListRequest{};
};

} // namespace tavelcast
