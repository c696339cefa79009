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

// True when name can safely become a file name in the storage folder: not empty, at most
// 253 bytes, not "." or "..", and free of '/', '\' and control characters.
bool isSafeHostName(const std::string& name);

// The host name Tavelcast uses for a client: the reverse-lookup name when there is one and
// it is safe as a file name, otherwise the client's dotted address. Answers are cached
// (names for positiveTtl, misses for negativeTtl) so that commands from the UI thread do
// not wait on DNS once per connection. Thread-safe.
class HostNames {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit HostNames(std::shared_ptr<NameResolver> resolver,
                       std::chrono::seconds positiveTtl = std::chrono::seconds(300),
                       std::chrono::seconds negativeTtl = std::chrono::seconds(30),
                       Clock clock = {});

    std::string hostNameFor(const std::string& ipv4);

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
