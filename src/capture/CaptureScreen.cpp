#include "capture/CaptureScreen.h"

namespace tavelcast {

void CaptureScreen(ScreenSource& source, int left, int top, int width, int height, Bitmap& bitmap) {
    if (width <= 0 || height <= 0)
        return;
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
