#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavelcast::sim {

// One line a pupil received, for --record. Written as
// "<ms> <pupil> <word>" or, when hasArgument, "<ms> <pupil> <word> <argument>".
// A bare list line (the answer to the pupil's own GetDisallowedApps) is recorded under
// ListLineWord with the line as argument; a line that is no word of the protocol is
// recorded as it came and counted under OtherWord.
inline constexpr std::string_view ListLineWord = "ListLine";
inline constexpr std::string_view OtherWord = "Other";

struct RecordedEvent {
    std::int64_t ms = 0; // since the start of the run
    std::string word;
    std::string argument;
    bool hasArgument = false;
};

} // namespace tavelcast::sim
