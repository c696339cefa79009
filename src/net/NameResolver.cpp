#include "net/NameResolver.h"

#include <arpa/inet.h>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tavelcast {

namespace {

// A loopback address is this machine's own: its name can only come from the local hosts
// file. Asking a DNS server about it is pointless, and slow where the server is far away.
std::optional<std::string> loopbackHostName(in_addr wanted) {
    static std::mutex hostsMutex; // gethostent keeps its position in static state
    std::lock_guard lock(hostsMutex);
    std::optional<std::string> name;
    ::sethostent(0);
    while (const hostent* entry = ::gethostent()) {
        if (entry->h_addrtype != AF_INET || entry->h_name == nullptr) {
            continue;
        }
        for (char** a = entry->h_addr_list; *a != nullptr; ++a) {
            if (std::memcmp(*a, &wanted, sizeof wanted) == 0) {
                name = entry->h_name;
                break;
            }
        }
        if (name) {
            break;
        }
    }
    ::endhostent();
    return name;
}

} // namespace

std::optional<std::string> GetnameinfoResolver::reverseLookup(const std::string& ipv4) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, ipv4.c_str(), &address.sin_addr) != 1) {
        return std::nullopt;
    }
    if ((ntohl(address.sin_addr.s_addr) >> 24) == 127) {
        return loopbackHostName(address.sin_addr);
    }
    char host[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                                 sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0) {
        return std::nullopt;
    }
    return std::string(host);
}

bool isSafeHostName(const std::string& name) {
    if (name.empty() || name.size() > MaxSafeHostNameBytes || name == "." || name == "..") {
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

std::string HostNames::knownHostNameFor(const std::string& ipv4) {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_cache.find(ipv4); it != m_cache.end()) {
        return it->second.name;
    }
    return ipv4;
}

} // namespace tavelcast
