#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tavelcast {

// Reverse lookup of an IPv4 address (dotted decimal) to a host name.
class NameResolver {
public:
    virtual ~NameResolver() = default;
    // The host name, or nothing when the address has none (or the lookup failed).
    virtual std::optional<std::string> reverseLookup(const std::string& ipv4) = 0;
};

// The system's resolver: getnameinfo with NI_NAMEREQD.
class GetnameinfoResolver : public NameResolver {
public:
    std::optional<std::string> reverseLookup(const std::string& ipv4) override;
};

// The longest host name that still makes a file name ("<name>.jpg") within the usual
// 255-byte limit.
inline constexpr std::size_t MaxSafeHostNameBytes = 251;

// True when name can safely become a file name in the storage folder: not empty, at most
// MaxSafeHostNameBytes, not "." or "..", and free of '/', '\' and control characters.
bool isSafeHostName(const std::string& name);

// The host name Tavelcast uses for a client: the reverse-lookup name when there is one and
// it is safe as a file name, otherwise the client's dotted address. Answers are cached
// (names for positiveTtl, misses for negativeTtl), and the UI thread only ever reads the
// cache, so a slow DNS server cannot freeze the teacher's commands. Thread-safe.
class HostNames {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit HostNames(std::shared_ptr<NameResolver> resolver,
                       std::chrono::seconds positiveTtl = std::chrono::seconds(300),
                       std::chrono::seconds negativeTtl = std::chrono::seconds(30),
                       Clock clock = {});

    // Looks the name up when the cache has no fresh answer; may wait on DNS. For
    // connection threads.
    std::string hostNameFor(const std::string& ipv4);

    // Never waits: the last name found for the address, even if its time is up, or the
    // address itself when none was ever found. For the UI thread; connection threads keep
    // the cache fresh (each looks its pupil up when it connects and with every snapshot).
    std::string knownHostNameFor(const std::string& ipv4);

private:
    struct Entry {
        std::string name;
        std::chrono::steady_clock::time_point expires;
    };

    std::shared_ptr<NameResolver> m_resolver;
    std::chrono::seconds m_positiveTtl;
    std::chrono::seconds m_negativeTtl;
    Clock m_clock;
    std::mutex m_mutex;
    std::map<std::string, Entry> m_cache;
};

} // namespace tavelcast
