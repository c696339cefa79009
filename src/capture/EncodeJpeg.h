#pragma once

#include "capture/Bitmap.h"
#include "capture/BitmapView.h"

#include <cstdint>
#include <vector>

namespace tavelcast {

// The settings of every screen frame: colour (3 components), 4:2:0, quality 90, baseline.
inline constexpr int kJpegQuality = 90;

// Appends the JPEG encoding of `bitmap` to `stream`: a complete baseline JPEG, nothing
// added before or after it. Throws CaptureError when the bitmap is empty or the encoder
// fails; `stream` is then left as it was. Each thread keeps its own encoder.
void EncodeJpeg(const Bitmap& bitmap, std::vector<std::uint8_t>& stream);

// The same, straight from pixels someone else owns (a capture buffer lent for the call).
void EncodeJpeg(const BitmapView& bitmap, std::vector<std::uint8_t>& stream);

} // namespace tavelcast
