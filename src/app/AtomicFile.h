#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tavelcast {

// Replaces the file at path with bytes: the bytes go to a temporary file with a name
// unique to this write, in the same folder, which is then renamed over the old file.
// A reader sees the old file or the new one, never half of one, and two writers of the
// same path never mix their bytes. With syncToDisk the data is flushed before the rename.
// Throws std::system_error naming the path when any step fails; the old file is untouched
// and the temporary file removed.
// Temporary files of writes in progress start with this; a crash can leave them behind.
inline constexpr const char* TemporaryFilePrefix = ".tavelcast-tmp-";

// Removes what interrupted writes left in folder; returns how many files went.
std::size_t removeLeftoverTemporaryFiles(const std::string& folder);

void writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         bool syncToDisk = false);
void writeFileAtomically(const std::string& path, const std::string& text, bool syncToDisk = false);

} // namespace tavelcast
