#include "capture/CaptureScreen.h"

namespace tavelcast {

void CaptureScreen(ScreenSource& source, int left, int top, int width, int height, Bitmap& bitmap) {
    if (width <= 0 || height <= 0)
        return;
    // A bitmap that already has the size is reused as it is (the source writes every
    // pixel), which spares clearing a screen-sized buffer on every frame.
    if (bitmap.width != width || bitmap.height != height ||
        bitmap.stride != width * Bitmap::bytesPerPixel ||
        bitmap.pixels.size() != static_cast<std::size_t>(bitmap.stride) * height)
        bitmap.reset(width, height);
    try {
        source.capture(left, top, bitmap);
    } catch (...) {
        // A half-filled bitmap must not go out: leave it blank, then report.
        bitmap.reset(width, height);
        throw;
    }
}

} // namespace tavelcast
