#pragma once

#include "core/ProcessNameMatch.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavelcast {

// Ends the pupil's processes whose names are on the teacher's disallowed list.
//
// tick() is meant to run about once a second. While enforcement is on it walks /proc for
// the processes of the pupil's own user (the owner of /proc/<pid>), and ends each one
// whose name matches the list (ProcessNameMatch): SIGTERM first, and SIGKILL when it is
// still there killGrace later (the same process: its start time is compared, so a reused
// process id is never hit). A process's names are its comm, the base name of its
// executable and the base name of its argv[0] ('/' or '\' separated, for Windows programs
// under an emulator). Never ended: this program, its ancestors (the pupil's session), its
// session leader and process 1. Every signal sent is logged.
//
// setEnabled/setNames may be called from any thread; tick() from one thread at a time.
class DisallowEnforcer {
public:
    struct Options {
        std::string procRoot = "/proc";
        std::chrono::milliseconds killGrace{2000};
    };

    DisallowEnforcer();
    explicit DisallowEnforcer(Options options);

    void setEnabled(bool enabled);
    void setNames(const std::vector<std::string>& names);
    bool enabled() const;

    void tick();

    // Processes sent SIGTERM and not yet gone (for tests).
    std::size_t pending() const;

private:
    struct Pending {
        unsigned long long startTime = 0;
        std::chrono::steady_clock::time_point killAt;
        std::string name;
    };

    std::vector<pid_t> protectedPids() const;
    void escalate();

    Options m_options;
    uid_t m_uid;
    mutable std::mutex m_mutex;
    bool m_enabled = false;
    DisallowedNames m_names;
    std::map<pid_t, Pending> m_pending;
};

} // namespace tavelcast
