#pragma once

#include "capture/BitmapView.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavelcast {

// A 32-bit picture in memory, four bytes per pixel in the order blue, green, red, unused
// (the layout of an X11 ZPixmap on a little-endian 24/32-bit TrueColor display, and what
// TurboJPEG reads as TJPF_BGRX). Rows are `stride` bytes apart, top row first.
struct Bitmap {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;

    static constexpr int bytesPerPixel = 4;

    // Gives the bitmap the size width x height, every pixel black. Negative sizes count as 0.
    void reset(int newWidth, int newHeight) {
        width = newWidth > 0 ? newWidth : 0;
        height = newHeight > 0 ? newHeight : 0;
        stride = width * bytesPerPixel;
        pixels.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
    }

    bool empty() const { return width == 0 || height == 0; }

    std::uint8_t* pixel(int x, int y) {
        return pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
               static_cast<std::size_t>(x) * bytesPerPixel;
    }
    const std::uint8_t* pixel(int x, int y) const {
        return pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
               static_cast<std::size_t>(x) * bytesPerPixel;
    }

    // The bitmap's pixels as a view, valid while the bitmap keeps its size.
    BitmapView view() { return {pixels.data(), width, height, stride}; }
};

} // namespace tavelcast
