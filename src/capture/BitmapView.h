#pragma once

#include <cstddef>
#include <cstdint>

namespace tavelcast {

// A picture in someone else's memory, in the layout of Bitmap (four bytes per pixel: blue,
// green, red, unused; rows `stride` bytes apart, top row first). It owns nothing: the
// memory belongs to whoever handed the view out and is valid only as long as they say.
// Used to encode a frame straight from the capture buffer, without copying it first.
struct BitmapView {
    std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;

    static constexpr int bytesPerPixel = 4;

    bool empty() const { return pixels == nullptr || width <= 0 || height <= 0; }

    std::uint8_t* pixel(int x, int y) const {
        return pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
               static_cast<std::size_t>(x) * bytesPerPixel;
    }
};

} // namespace tavelcast
