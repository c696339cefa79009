#include "capture/DrawCursor.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace tavelcast {

namespace {

// dst' = src + dst * (255 - alpha) / 255, rounded; src is already multiplied by alpha.
inline std::uint8_t over(std::uint32_t src, std::uint8_t dst, std::uint32_t inverseAlpha) {
    const std::uint32_t value = src + (dst * inverseAlpha + 127) / 255;
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
}

} // namespace

void BlendPointer(const PointerImage& pointer, Bitmap& bitmap, int left, int top) {
    BlendPointer(pointer, bitmap.view(), left, top);
}

void BlendPointer(const PointerImage& pointer, const BitmapView& bitmap, int left, int top) {
    if (!pointer.visible || pointer.width <= 0 || pointer.height <= 0 || bitmap.empty())
        return;
    const auto expected =
        static_cast<std::size_t>(pointer.width) * static_cast<std::size_t>(pointer.height);
    if (pointer.argb.size() < expected)
        return;

    // Top-left of the pointer image on the bitmap. Done in 64 bits: positions come from
    // the display server and are not trusted to be small.
    const long long originX = static_cast<long long>(pointer.x) - pointer.hotX - left;
    const long long originY = static_cast<long long>(pointer.y) - pointer.hotY - top;

    const long long firstRow = std::max<long long>(0, -originY);
    const long long lastRow = std::min<long long>(pointer.height, bitmap.height - originY);
    const long long firstCol = std::max<long long>(0, -originX);
    const long long lastCol = std::min<long long>(pointer.width, bitmap.width - originX);

    for (long long row = firstRow; row < lastRow; ++row) {
        const std::uint32_t* src =
            pointer.argb.data() + static_cast<std::size_t>(row) * pointer.width;
        std::uint8_t* dst =
            bitmap.pixel(static_cast<int>(originX + firstCol), static_cast<int>(originY + row));
        for (long long col = firstCol; col < lastCol; ++col, dst += BitmapView::bytesPerPixel) {
            const std::uint32_t p = src[col];
            const std::uint32_t alpha = p >> 24;
            if (alpha == 0 && (p & 0xffffffu) == 0)
                continue;
            const std::uint32_t inverse = 255 - alpha;
            dst[0] = over(p & 0xff, dst[0], inverse);         // blue
            dst[1] = over((p >> 8) & 0xff, dst[1], inverse);  // green
            dst[2] = over((p >> 16) & 0xff, dst[2], inverse); // red
        }
    }
}

void DrawCursor(ScreenSource& source, Bitmap& bitmap, int left, int top) {
    DrawCursor(source, bitmap.view(), left, top);
}

void DrawCursor(ScreenSource& source, const BitmapView& bitmap, int left, int top) {
    std::optional<PointerImage> pointer;
    try {
        pointer = source.pointer();
    } catch (...) {
        return; // a failed pointer query only means the frame goes out without it
    }
    if (pointer)
        BlendPointer(*pointer, bitmap, left, top);
}

} // namespace tavelcast
