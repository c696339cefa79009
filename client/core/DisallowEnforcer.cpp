#include "core/DisallowEnforcer.h"

#include "core/SeatsLog.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tavelcast {

namespace {

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[4096];
    while (in && text.size() < 64 * 1024) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

struct StatFields {
    char state = '?';
    pid_t parent = 0;
    unsigned long long startTime = 0;
};

// Fields of /proc/<pid>/stat after the command name (which may hold blanks and ')').
std::optional<StatFields> readStat(const std::string& procRoot, pid_t pid) {
    const std::string text = readSmallFile(procRoot + "/" + std::to_string(pid) + "/stat");
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::vector<std::string> fields;
    std::size_t at = close + 1;
    while (at < text.size() && fields.size() < 22) {
        while (at < text.size() && text[at] == ' ') {
            ++at;
        }
        const std::size_t end = text.find(' ', at);
        fields.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() : end;
    }
    // fields[0] is the state (field 3); ppid is field 4, starttime field 22.
    if (fields.size() < 20) {
        return std::nullopt;
    }
    StatFields out;
    out.state = fields[0].empty() ? '?' : fields[0][0];
    out.parent = static_cast<pid_t>(std::strtol(fields[1].c_str(), nullptr, 10));
    out.startTime = std::strtoull(fields[19].c_str(), nullptr, 10);
    return out;
}

std::string baseName(std::string path) {
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> processNames(const std::string& dir) {
    std::vector<std::string> names;
    std::string comm = readSmallFile(dir + "/comm");
    while (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    if (!comm.empty()) {
        names.push_back(comm);
    }
    char target[4096];
    const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        names.push_back(baseName(std::string(target, static_cast<std::size_t>(n))));
    }
    const std::string cmdline = readSmallFile(dir + "/cmdline");
    if (const std::string argv0 = cmdline.substr(0, cmdline.find('\0')); !argv0.empty()) {
        names.push_back(baseName(argv0));
    }
    return names;
}

} // namespace

DisallowEnforcer::DisallowEnforcer() : DisallowEnforcer(Options{}) {}

DisallowEnforcer::DisallowEnforcer(Options options)
    : m_options(std::move(options)), m_uid(::getuid()) {}

void DisallowEnforcer::setEnabled(bool enabled) {
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
}

void DisallowEnforcer::setNames(const std::vector<std::string>& names) {
    DisallowedNames normal(names);
    std::lock_guard lock(m_mutex);
    m_names = std::move(normal);
}

bool DisallowEnforcer::enabled() const {
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

std::size_t DisallowEnforcer::pending() const {
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::vector<pid_t> DisallowEnforcer::protectedPids() const {
    std::vector<pid_t> pids{1, ::getpid(), ::getsid(0)};
    // Every ancestor: the pupil's session, its terminal, whatever started us.
    pid_t pid = ::getppid();
    for (int depth = 0; pid > 1 && depth < 64; ++depth) {
        pids.push_back(pid);
        const auto stat = readStat(m_options.procRoot, pid);
        if (!stat) {
            break;
        }
        pid = stat->parent;
    }
    return pids;
}

void DisallowEnforcer::escalate() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const auto stat = readStat(m_options.procRoot, it->first);
        if (!stat || stat->startTime != it->second.startTime) {
            it = m_pending.erase(it); // gone (or its id reused)
            continue;
        }
        if (now >= it->second.killAt) {
            if (::kill(it->first, SIGKILL) == 0) {
                seatsLog("disallowed application '" + it->second.name + "' (process " +
                         std::to_string(it->first) + ") did not end: sent SIGKILL");
            }
            it = m_pending.erase(it);
            continue;
        }
        ++it;
    }
}

void DisallowEnforcer::tick() {
    std::lock_guard lock(m_mutex);
    escalate();
    if (!m_enabled || m_names.empty()) {
        return;
    }
    const std::vector<pid_t> keep = protectedPids();
    DIR* proc = ::opendir(m_options.procRoot.c_str());
    if (proc == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long value = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || value <= 0) {
            continue;
        }
        const auto pid = static_cast<pid_t>(value);
        if (m_pending.count(pid) != 0 || std::find(keep.begin(), keep.end(), pid) != keep.end()) {
            continue;
        }
        const std::string dir = m_options.procRoot + "/" + entry->d_name;
        struct stat info {};
        if (::stat(dir.c_str(), &info) != 0 || info.st_uid != m_uid) {
            continue;
        }
        for (const std::string& name : processNames(dir)) {
            if (!m_names.matches(name)) {
                continue;
            }
            const auto stat = readStat(m_options.procRoot, pid);
            if (!stat || stat->state == 'Z') {
                break; // gone, or ended and waiting for its parent
            }
            if (::kill(pid, SIGTERM) == 0) {
                seatsLog("disallowed application '" + name + "' (process " + std::to_string(pid) +
                         "): sent SIGTERM");
                m_pending[pid] = {stat->startTime,
                                  std::chrono::steady_clock::now() + m_options.killGrace, name};
            } else {
                seatsLog("disallowed application '" + name + "' (process " + std::to_string(pid) +
                         "): cannot end it: " + std::strerror(errno));
            }
            break;
        }
    }
    ::closedir(proc);
}

} // namespace tavelcast
