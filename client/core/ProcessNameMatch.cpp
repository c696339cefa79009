#include "core/ProcessNameMatch.h"

#include <algorithm>

namespace tavelcast {

std::string normalizedProcessName(std::string_view name) {
    std::string out(name);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    constexpr std::string_view exe = ".exe";
    if (out.size() >= exe.size() && out.compare(out.size() - exe.size(), exe.size(), exe) == 0) {
        out.resize(out.size() - exe.size());
    }
    return out;
}

DisallowedNames::DisallowedNames(const std::vector<std::string>& names) {
    for (const auto& name : names) {
        std::string normal = normalizedProcessName(name);
        if (!normal.empty() && std::find(m_names.begin(), m_names.end(), normal) == m_names.end()) {
            m_names.push_back(std::move(normal));
        }
    }
}

bool DisallowedNames::matches(std::string_view processName) const {
    const std::string normal = normalizedProcessName(processName);
    return !normal.empty() && std::find(m_names.begin(), m_names.end(), normal) != m_names.end();
}

} // namespace tavelcast
