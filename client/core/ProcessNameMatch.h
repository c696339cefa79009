#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavelcast {

// The form a process name is compared in: lower case (ASCII), one trailing ".exe" (in any
// case) removed, so the teacher's "Firefox.exe" and the pupil's `firefox` are one name.
std::string normalizedProcessName(std::string_view name);

// The disallowed names, normalized once. A name that normalizes to nothing (".exe", "")
// matches no process.
class DisallowedNames {
public:
    DisallowedNames() = default;
    explicit DisallowedNames(const std::vector<std::string>& names);

    // Whether the process name (a comm, an executable's base name) is on the list.
    bool matches(std::string_view processName) const;

    bool empty() const { return m_names.empty(); }
    std::size_t size() const { return m_names.size(); }

private:
    std::vector<std::string> m_names;
};

} // namespace tavelcast
