#include "net/NameResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tavelcast {

std::optional<std::string> GetnameinfoResolver::reverseLookup(const std::string& ipv4) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    char host[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                 host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        return std::nullopt;
    }
    return std::string(host);
}

bool isSafeHostName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) {
            return false;
        }
    }
    return true;
}

HostNames::HostNames(std::shared_ptr<NameResolver> resolver, std::chrono::seconds positiveTtl,
                     std::chrono::seconds negativeTtl, Clock clock)
    : m_resolver(std::move(resolver)), m_positiveTtl(positiveTtl), m_negativeTtl(negativeTtl),
      m_clock(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

std::string HostNames::hostNameFor(const std::string& ipv4) {
    const auto now = m_clock();
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_cache.find(ipv4); it != m_cache.end() && it->second.expires > now) {
            return it->second.name;
        }
    }
    // The lookup itself runs without the lock: a slow DNS answer for one client must not
    // hold up the others.
    std::optional<std::string> looked = m_resolver ? m_resolver->reverseLookup(ipv4) : std::nullopt;
    const bool found = looked && isSafeHostName(*looked);
    std::string name = found ? *looked : ipv4;
    std::lock_guard lock(m_mutex);
    if (m_cache.size() > 4096) {
        m_cache.clear();
    }
    m_cache[ipv4] = Entry{name, now + (found ? m_positiveTtl : m_negativeTtl)};
    return name;
}

} // namespace tavelcast
