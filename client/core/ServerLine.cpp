#include "core/ServerLine.h"

#include "net/ProtocolWords.h"

#include <array>
#include <utility>

namespace tavelcast {

bool isListLine(std::string_view line) {
    return line.empty() || line.front() == ';';
}

ServerLineKind classifyServerLine(std::string_view line) {
    if (isListLine(line)) {
        return ServerLineKind::ListLine;
    }
    static constexpr std::array<std::pair<std::string_view, ServerLineKind>, 11> table{{
        {words::GetSnapShot, ServerLineKind::GetSnapShot},
        {words::KeyLockON, ServerLineKind::KeyLockON},
        {words::KeyLockOFF, ServerLineKind::KeyLockOFF},
        {words::Restart, ServerLineKind::Restart},
        {words::ShutDown, ServerLineKind::ShutDown},
        {words::DisallowON, ServerLineKind::DisallowON},
        {words::DisallowOFF, ServerLineKind::DisallowOFF},
        {words::StopScreenStreaming, ServerLineKind::StopScreenStreaming},
        {words::GetDisallowedApps, ServerLineKind::GetDisallowedApps},
        {words::DoScreenStreaming, ServerLineKind::DoScreenStreaming},
        {words::IDLE, ServerLineKind::IDLE},
    }};
    for (const auto& [word, kind] : table) {
        if (line == word) {
            return kind;
        }
    }
    return ServerLineKind::Unknown;
}

std::vector<std::string> parseListLine(std::string_view line) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t semicolon = line.find(';', start);
        const std::size_t end = semicolon == std::string_view::npos ? line.size() : semicolon;
        if (end > start) {
            names.emplace_back(line.substr(start, end - start));
        }
        if (semicolon == std::string_view::npos) {
            break;
        }
        start = semicolon + 1;
    }
    return names;
}

} // namespace tavelcast
