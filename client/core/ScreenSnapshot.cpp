#include "core/ScreenSnapshot.h"

#include "capture/Bitmap.h"
#include "capture/DrawCursor.h"
#include "capture/EncodeJpeg.h"

#include <QImage>

namespace tavelcast {

std::vector<std::uint8_t> makeScreenSnapshot(ScreenSource& source, int maxWidth) {
    const ScreenSize size = source.displaySize();
    thread_local Bitmap scratch;
    std::vector<std::uint8_t> jpeg;
    source.captureView(0, 0, size.width, size.height, scratch, [&](const BitmapView& view) {
        DrawCursor(source, view);
        if (maxWidth <= 0 || maxWidth >= view.width) {
            EncodeJpeg(view, jpeg);
            return;
        }
        // BGRX in memory is QImage's RGB32 on a little-endian machine.
        const QImage screen(view.pixels, view.width, view.height, view.stride,
                            QImage::Format_RGB32);
        const int height = std::max(
            1, static_cast<int>(static_cast<long long>(view.height) * maxWidth / view.width));
        QImage small =
            screen.scaled(maxWidth, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
        EncodeJpeg(BitmapView{small.bits(), small.width(), small.height(),
                              static_cast<int>(small.bytesPerLine())},
                   jpeg);
    });
    return jpeg;
}

} // namespace tavelcast
