#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tavelcast::sim {

// A stand-in snapshot of an exact size: FF D8, a text naming the pupil and the
// sequence number, filler that depends on both, FF D9. No two (name, sequence) pairs give
// the same bytes once size leaves room for the text. Size 0 gives an empty payload; sizes
// 1 to 3 are not allowed (the options refuse them) and give size bytes of filler.
std::vector<std::uint8_t> makeSyntheticPayload(std::string_view pupilName, std::uint64_t sequence,
                                               std::size_t size);

// Whether bytes look like a whole JPEG stream: start-of-image first, end-of-image last.
bool hasJpegMarkers(std::span<const std::uint8_t> bytes);

} // namespace tavelcast::sim
