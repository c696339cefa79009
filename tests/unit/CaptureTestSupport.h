#pragma once

// Pictures, JPEG inspection and deadline waits shared by the capture tests.

#include "capture/Bitmap.h"
#include "capture/ScreenFrameService.h"

#include <turbojpeg.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tavelcast::test {

struct Rgb {
    std::uint8_t r, g, b;
};

inline void setPixel(Bitmap& bitmap, int x, int y, Rgb c) {
    std::uint8_t* p = bitmap.pixel(x, y);
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = 0;
}

inline Rgb pixelAt(const Bitmap& bitmap, int x, int y) {
    const std::uint8_t* p = bitmap.pixel(x, y);
    return {p[2], p[1], p[0]};
}

// Flat 16x16-aligned blocks of distinct colours: JPEG keeps them close to exact.
inline Rgb blockColour(int bx, int by) {
    static constexpr Rgb palette[] = {{220, 30, 30},   {30, 200, 40},  {40, 60, 210},
                                      {240, 240, 240}, {20, 20, 20},   {230, 200, 40},
                                      {40, 200, 210},  {180, 60, 190}, {128, 128, 128}};
    return palette[(bx * 5 + by * 3) % 9];
}

inline Bitmap blockPicture(int width, int height, int block = 32) {
    Bitmap bitmap;
    bitmap.reset(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            setPixel(bitmap, x, y, blockColour(x / block, y / block));
    return bitmap;
}

inline Bitmap solidPicture(int width, int height, Rgb c) {
    Bitmap bitmap;
    bitmap.reset(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            setPixel(bitmap, x, y, c);
    return bitmap;
}

// A full-size decode straight through TurboJPEG, independent of the code under test.
inline std::optional<Bitmap> decodeJpeg(std::span<const std::uint8_t> jpeg) {
    tjhandle handle = tjInitDecompress();
    if (!handle)
        return std::nullopt;
    auto* data = const_cast<unsigned char*>(jpeg.data());
    int w = 0, h = 0, sub = 0, cs = 0;
    std::optional<Bitmap> out;
    if (tjDecompressHeader3(handle, data, jpeg.size(), &w, &h, &sub, &cs) == 0) {
        Bitmap bitmap;
        bitmap.reset(w, h);
        if (tjDecompress2(handle, data, jpeg.size(), bitmap.pixels.data(), w, bitmap.stride, h,
                          TJPF_BGRX, 0) == 0)
            out = std::move(bitmap);
    }
    tjDestroy(handle);
    return out;
}

// The mean of |a - b| over every channel of every pixel of two same-sized pictures.
inline double meanAbsDifference(const Bitmap& a, const Bitmap& b) {
    double sum = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(a.pixel(x, y)[c]) - int(b.pixel(x, y)[c]));
    return sum / (3.0 * a.width * a.height);
}

inline int maxChannelDifference(Rgb a, Rgb b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

// The JPEG markers in order, up to the start of scan, as (marker byte, segment offset).
struct JpegLayout {
    bool startsWithSoi = false;
    bool endsWithEoi = false;
    std::vector<std::uint8_t> markers;
    int frameComponents = -1; // from the SOFn segment
    int frameWidth = -1, frameHeight = -1;
};

inline JpegLayout inspectJpeg(std::span<const std::uint8_t> jpeg) {
    JpegLayout layout;
    const std::size_t n = jpeg.size();
    layout.startsWithSoi = n >= 2 && jpeg[0] == 0xFF && jpeg[1] == 0xD8;
    layout.endsWithEoi = n >= 2 && jpeg[n - 2] == 0xFF && jpeg[n - 1] == 0xD9;
    std::size_t i = 2;
    while (i + 4 <= n && jpeg[i] == 0xFF) {
        const std::uint8_t marker = jpeg[i + 1];
        layout.markers.push_back(marker);
        const std::size_t length = (std::size_t(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC && i + 10 <= n) {
            layout.frameHeight = (jpeg[i + 5] << 8) | jpeg[i + 6];
            layout.frameWidth = (jpeg[i + 7] << 8) | jpeg[i + 8];
            layout.frameComponents = jpeg[i + 9];
        }
        if (marker == 0xDA)
            break; // entropy-coded data follows
        i += 2 + length;
    }
    return layout;
}

// Waits until `done` holds or the deadline passes; true when it held.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Collects the lines the frame service logs at its first capture failure.
struct FailureLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    ScreenFrameService::FailureCallback callback() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

} // namespace tavelcast::test
