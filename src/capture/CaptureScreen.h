#pragma once

#include "capture/Bitmap.h"
#include "capture/ScreenSource.h"

namespace tavelcast {

// Copies the width x height rectangle of the display at (left, top) into `bitmap`.
// Width or height 0 (or less) leaves the bitmap unchanged. Otherwise the bitmap is given
// that size and filled from the display; parts of the rectangle off the display are black.
// A bitmap that already has the size keeps its buffer. When the display cannot be read the
// bitmap keeps its new size and stays blank, and CaptureError is thrown with the cause.
void CaptureScreen(ScreenSource& source, int left, int top, int width, int height, Bitmap& bitmap);

} // namespace tavelcast
