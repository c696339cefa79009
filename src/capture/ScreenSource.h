#pragma once

#include "capture/Bitmap.h"
#include "capture/BitmapView.h"
#include "capture/PointerImage.h"

#include <functional>
#include <optional>

namespace tavelcast {

struct ScreenSize {
    int width = 0;
    int height = 0;
};

// Access to the teacher's display: its size, its pixels and the mouse pointer.
// X11ScreenSource is the real one; FakeScreenSource stands in for it in tests.
// Implementations are safe to call from several threads at once.
class ScreenSource {
public:
    virtual ~ScreenSource() = default;

    // The size of the display at this moment. Throws CaptureError when there is no display.
    virtual ScreenSize displaySize() = 0;

    // Copies the rectangle of the display whose top-left corner is (left, top) and whose
    // size is the bitmap's into the bitmap, pixel (left, top) landing at (0, 0). Every
    // pixel is written: parts of the rectangle that lie outside the display become black.
    // Throws CaptureError when the display cannot be read.
    virtual void capture(int left, int top, Bitmap& bitmap) = 0;

    // The pointer now; nothing when it cannot be had. Never throws.
    virtual std::optional<PointerImage> pointer() = 0;

    using ViewConsumer = std::function<void(const BitmapView&)>;

    // Captures the width x height rectangle at (left, top), as CaptureScreen does, and calls
    // `use` once with a view of the pixels. The view is valid only during the call and may
    // be drawn on: it is a buffer that the next capture fills anew, never the display
    // itself. A source that can lend out its own capture buffer does so, which spares
    // copying a whole screen per frame; the others capture into `scratch` (a bitmap the
    // caller keeps between frames, resized as needed) and lend that. Width or height 0 or
    // less does nothing. Throws CaptureError when the display cannot be read, and then
    // `use` is not called; what `use` throws passes through.
    virtual void captureView(int left, int top, int width, int height, Bitmap& scratch,
                             const ViewConsumer& use);
};

} // namespace tavelcast
