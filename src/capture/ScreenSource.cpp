#include "capture/ScreenSource.h"

#include "capture/CaptureScreen.h"

namespace tavelcast {

void ScreenSource::captureView(int left, int top, int width, int height, Bitmap& scratch,
                               const ViewConsumer& use) {
    if (width <= 0 || height <= 0)
        return;
    CaptureScreen(*this, left, top, width, height, scratch);
    use(scratch.view());
}

} // namespace tavelcast
