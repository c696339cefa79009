#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavelcast {

// What one line from the teacher is. A line that is empty or starts with ';' is a list
// line (the disallowed process names); any other line is a command word, compared exactly
// and case-sensitively.
enum class ServerLineKind {
    ListLine,
    GetSnapShot,
    KeyLockON,
    KeyLockOFF,
    Restart,
    ShutDown,
    DisallowON,
    DisallowOFF,
    StopScreenStreaming,
    GetDisallowedApps,
    DoScreenStreaming,
    IDLE,
    Unknown,
};

bool isListLine(std::string_view line);

ServerLineKind classifyServerLine(std::string_view line);

// The names of a list line: the parts between semicolons, empty parts left out, in order.
std::vector<std::string> parseListLine(std::string_view line);

} // namespace tavelcast
