#pragma once

#include "net/NameResolver.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tavelcast::testing {

// A table-driven resolver: addresses missing from the table have no name. Lets tests
// simulate several pupil PCs from 127.0.0.x source addresses.
class FakeResolver : public NameResolver {
public:
    explicit FakeResolver(std::map<std::string, std::string> names = {})
        : m_names(std::move(names)) {}

    std::optional<std::string> reverseLookup(const std::string& ipv4) override {
        ++lookups;
        std::lock_guard lock(m_mutex);
        if (const auto it = m_names.find(ipv4); it != m_names.end()) {
            return it->second;
        }
        return std::nullopt;
    }

    void set(const std::string& ip, const std::string& name) {
        std::lock_guard lock(m_mutex);
        m_names[ip] = name;
    }

    std::atomic<int> lookups{0};

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_names;
};

} // namespace tavelcast::testing
