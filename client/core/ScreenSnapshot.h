#pragma once

#include "capture/ScreenSource.h"

#include <cstdint>
#include <vector>

namespace tavelcast {

// The pupil's snapshot for the teacher: the whole screen with the pointer drawn, as a
// JPEG, scaled down (aspect kept) to maxWidth pixels when the screen is wider; maxWidth 0
// keeps the full size. Throws CaptureError when the screen cannot be read.
std::vector<std::uint8_t> makeScreenSnapshot(ScreenSource& source, int maxWidth);

} // namespace tavelcast
