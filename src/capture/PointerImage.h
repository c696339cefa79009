#pragma once

#include <cstdint>
#include <vector>

namespace tavelcast {

// The mouse pointer as the display shows it now.
struct PointerImage {
    int width = 0;
    int height = 0;
    int hotX = 0; // hot spot inside the image
    int hotY = 0;
    int x = 0; // pointer position on the display (where the hot spot is)
    int y = 0;
    bool visible = true;
    // width * height pixels, row by row, 0xAARRGGBB with premultiplied alpha.
    std::vector<std::uint32_t> argb;
};

} // namespace tavelcast
