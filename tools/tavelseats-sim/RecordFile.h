#pragma once

#include "Pupil.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavelcast::sim {

// Text of a received line made safe for one record line: bytes below 0x20, 0x7F and the
// backslash are written as \xHH; every other byte as it is.
std::string escapeRecordText(std::string_view text);

// Writes every pupil's received lines, ordered by time (a pupil's own lines keep their
// order), one per line: "<ms> <pupil> <word>" or "<ms> <pupil> <word> <argument>".
// The argument is the list line after GetDisallowedApps / of ListLine (possibly empty, the
// separating space is still written) or a frame's byte count after DoScreenStreaming.
// Returns false when the file cannot be written.
bool writeRecordFile(const std::string& path, const std::vector<std::unique_ptr<Pupil>>& pupils);

} // namespace tavelcast::sim
