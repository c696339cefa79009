// Screen-frame figures, each beside a bare TurboJPEG baseline measured in the same run.
//
//   capture_bench [--save-pictures DIR] [--iterations N]
//
// Needs DISPLAY (e.g. Xvfb :77 -screen 0 1920x1080x24 -noreset) for the on-display parts;
// the synthetic text and photo screens are made in memory. --save-pictures writes them as
// PNG files (to put one on the root window with ImageMagick's display -window root) and exits.

#include "capture/Bitmap.h"
#include "capture/CaptureScreen.h"
#include "capture/DrawCursor.h"
#include "capture/EncodeJpeg.h"
#include "capture/ScreenFrameService.h"
#include "capture/ThumbnailDecoder.h"
#include "capture/X11ScreenSource.h"

#include <QImage>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tavelcast;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void put(Bitmap& b, int x, int y, int r, int g, int bl) {
    std::uint8_t* p = b.pixel(x, y);
    p[0] = static_cast<std::uint8_t>(std::clamp(bl, 0, 255));
    p[1] = static_cast<std::uint8_t>(std::clamp(g, 0, 255));
    p[2] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
}

// A text-heavy screen: a white page with lines of small dark glyphs, a title bar and a
// side panel, like an editor or a document.
Bitmap textScreen(int w, int h) {
    Bitmap b;
    b.reset(w, h);
    std::fill(b.pixels.begin(), b.pixels.end(), 255);
    std::mt19937 rng(7);
    // 96 glyphs of 7x11 pixels, about a third of them set.
    std::vector<std::vector<bool>> masks(96, std::vector<bool>(77));
    for (auto& m : masks)
        for (int i = 0; i < 77; ++i)
            m[i] = (rng() % 100) < 33;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < w; ++x)
            put(b, x, y, 45, 45, 60);
    for (int y = 32; y < h; ++y)
        for (int x = 0; x < 240 && x < w; ++x)
            put(b, x, y, 235, 237, 242);
    for (int line = 0, y0 = 44; y0 + 11 < h; ++line, y0 += 18) {
        int x0 = 252 + static_cast<int>(rng() % 3) * 16;
        const int lineEnd = w - 20 - static_cast<int>(rng() % 400);
        while (x0 + 8 < lineEnd) {
            const int word = 2 + static_cast<int>(rng() % 9);
            for (int c = 0; c < word && x0 + 8 < lineEnd; ++c, x0 += 8) {
                const auto& m = masks[rng() % 96];
                for (int gy = 0; gy < 11; ++gy)
                    for (int gx = 0; gx < 7; ++gx)
                        if (m[gy * 7 + gx])
                            put(b, x0 + gx, y0 + gy, 20, 20, 30);
            }
            x0 += 8;
        }
    }
    return b;
}

// A photo-heavy screen: smooth colour fields with fine noise, like a full-screen photo.
Bitmap photoScreen(int w, int h) {
    Bitmap b;
    b.reset(w, h);
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double fx = x / double(w), fy = y / double(h);
            const int n = static_cast<int>(rng() % 13) - 6;
            put(b, x, y, int(128 + 90 * std::sin(6 * fx + 2 * fy) + n),
                int(120 + 80 * std::sin(4 * fy + 3 * fx * fy) + n),
                int(110 + 100 * std::cos(5 * fx - 3 * fy) + n));
        }
    return b;
}

QImage toQImage(const Bitmap& b) {
    QImage image(b.width, b.height, QImage::Format_RGB32);
    for (int y = 0; y < b.height; ++y)
        std::memcpy(image.scanLine(y), b.pixel(0, y), static_cast<std::size_t>(b.width) * 4);
    return image;
}

// The baseline: one bare tjCompress2 of the pixels with the frame's settings.
std::size_t bareEncode(tjhandle h, const Bitmap& b, unsigned char*& buf, unsigned long& cap) {
    unsigned long size = cap;
    if (tjCompress2(h, b.pixels.data(), b.width, b.stride, b.height, TJPF_BGRX, &buf, &size,
                    TJSAMP_420, 90, TJFLAG_NOREALLOC) != 0) {
        std::fprintf(stderr, "tjCompress2: %s\n", tjGetErrorStr2(h));
        std::exit(1);
    }
    return size;
}

// The same baseline from pixels in place.
void bareEncodeView(tjhandle h, const BitmapView& v, unsigned char*& buf, unsigned long& cap) {
    unsigned long size = cap;
    if (tjCompress2(h, v.pixels, v.width, v.stride, v.height, TJPF_BGRX, &buf, &size, TJSAMP_420,
                    90, TJFLAG_NOREALLOC) != 0) {
        std::fprintf(stderr, "tjCompress2: %s\n", tjGetErrorStr2(h));
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    int iterations = 40;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--save-pictures" && i + 1 < argc) {
            const std::string dir = argv[++i];
            const bool ok =
                toQImage(textScreen(1920, 1080)).save(QString::fromStdString(dir + "/text.png")) &&
                toQImage(photoScreen(1920, 1080)).save(QString::fromStdString(dir + "/photo.png"));
            std::printf("%s %s/text.png and %s/photo.png\n", ok ? "wrote" : "could not write",
                        dir.c_str(), dir.c_str());
            return ok ? 0 : 1;
        }
        if (arg == "--iterations" && i + 1 < argc)
            iterations = std::max(3, std::atoi(argv[++i]));
    }

    tjhandle bare = tjInitCompress();
    unsigned long cap = tjBufSize(1920, 1080, TJSAMP_420);
    unsigned char* buf = tjAlloc(static_cast<int>(cap));

    // 1. Bytes per frame of synthetic screens.
    std::printf("== bytes per 1920x1080 frame (quality 90, 4:2:0, baseline)\n");
    std::vector<std::uint8_t> photoJpeg;
    for (const auto& [name, picture] : {std::pair{"text-heavy", textScreen(1920, 1080)},
                                        std::pair{"photo-heavy", photoScreen(1920, 1080)}}) {
        std::vector<std::uint8_t> stream;
        EncodeJpeg(picture, stream);
        std::printf("%-12s %8zu bytes (%.1f KiB); bare tjCompress2 %zu bytes\n", name,
                    stream.size(), stream.size() / 1024.0, bareEncode(bare, picture, buf, cap));
        if (std::string(name) == "photo-heavy")
            photoJpeg = stream;
    }

    // 2. Thumbnail: DCT-scaled decode + resize vs full decode + resize.
    {
        const ThumbnailDecoder decoder;
        tjhandle dec = tjInitDecompress();
        std::vector<double> scaled, full;
        for (int i = 0; i < iterations; ++i) {
            auto t0 = Clock::now();
            const auto tile = decoder.thumbnail(photoJpeg);
            auto t1 = Clock::now();
            QImage whole(1920, 1080, QImage::Format_RGB32);
            tjDecompress2(dec, photoJpeg.data(), photoJpeg.size(), whole.bits(), 1920,
                          static_cast<int>(whole.bytesPerLine()), 1080, TJPF_BGRX, 0);
            const QImage fullTile =
                whole.scaled(192, 144, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            auto t2 = Clock::now();
            if (!tile || fullTile.isNull())
                return 1;
            scaled.push_back(ms(t1 - t0));
            full.push_back(ms(t2 - t1));
        }
        tjDestroy(dec);
        std::printf("\n== thumbnail 192x144 of a 1920x1080 photo JPEG (median of %d)\n",
                    iterations);
        std::printf("DCT-scaled decode (%dx%d) + resize: %.2f ms\n",
                    decoder.scaledSize(1920, 1080).width(), decoder.scaledSize(1920, 1080).height(),
                    median(scaled));
        std::printf("full decode + resize:               %.2f ms\n", median(full));
        std::printf("ratio full / scaled:                %.1fx\n", median(full) / median(scaled));
    }

    // 3. One frame on the display, split into its steps, against a bare encode of the same pixels.
    if (!std::getenv("DISPLAY")) {
        std::printf("\nDISPLAY is not set: no on-display figures\n");
        return 0;
    }
    auto source = std::make_shared<X11ScreenSource>();
    ScreenSize size;
    try {
        size = source->displaySize();
    } catch (const std::exception& e) {
        std::printf("\n%s\n", e.what());
        return 1;
    }
    const auto best = [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    };

    // 3a. The frame as the frame service makes it: captured into the X server's
    // shared-memory image, the pointer drawn there, encoded in place (no copy).
    // The bare encode of the same pixels runs right before or right after the frame's own
    // encode, alternately, so that neither always finds the pixels warm in the cache.
    std::vector<double> tCapture, tPointer, tEncode, tBare, tFrame;
    std::size_t bytes = 0;
    Bitmap scratch;
    for (int i = 0; i < iterations; ++i) {
        const bool bareFirst = i % 2 == 1;
        double bareMs = 0;
        auto t0 = Clock::now();
        Clock::time_point t1, t2, t3;
        std::vector<std::uint8_t> stream;
        source->captureView(0, 0, size.width, size.height, scratch, [&](const BitmapView& view) {
            t1 = Clock::now();
            if (bareFirst) {
                const auto b0 = Clock::now();
                bareEncodeView(bare, view, buf, cap);
                bareMs = ms(Clock::now() - b0);
                t1 = Clock::now();
            }
            DrawCursor(*source, view);
            t2 = Clock::now();
            EncodeJpeg(view, stream);
            t3 = Clock::now();
            if (!bareFirst) {
                bareEncodeView(bare, view, buf, cap);
                bareMs = ms(Clock::now() - t3);
            }
        });
        tCapture.push_back(ms(t1 - t0) - (bareFirst ? bareMs : 0));
        tPointer.push_back(ms(t2 - t1));
        tEncode.push_back(ms(t3 - t2));
        tBare.push_back(bareMs);
        tFrame.push_back(tCapture.back() + tPointer.back() + tEncode.back());
        bytes = stream.size();
    }
    std::printf("\n== one %dx%d frame on DISPLAY=%s via %s, encoded in place (median of %d)\n",
                size.width, size.height, std::getenv("DISPLAY"),
                source->usedSharedMemory() ? "MIT-SHM" : "XGetImage", iterations);
    std::printf("capture %.2f ms, pointer %.3f ms, encode %.2f ms; frame %.2f ms, %zu bytes\n",
                median(tCapture), median(tPointer), median(tEncode), median(tFrame), bytes);
    std::printf("bare tjCompress2 of the same pixels: %.2f ms\n", median(tBare));
    std::printf("ratio frame / bare encode: %.2f (goal <= 1.20)\n", median(tFrame) / median(tBare));
    std::printf("fastest of each: capture %.2f ms, pointer %.3f ms, encode %.2f ms, bare %.2f ms; "
                "ratio (capture + pointer + encode) / bare %.2f\n",
                best(tCapture), best(tPointer), best(tEncode), best(tBare),
                (best(tCapture) + best(tPointer) + best(tEncode)) / best(tBare));

    // 3b. For comparison, the copying way: the capture copied into a Bitmap of our own,
    // the pointer drawn and the bitmap encoded (what sources that cannot lend their buffer
    // do). Same bare baseline, same alternation.
    std::vector<double> cCapture, cRest, cBare;
    Bitmap bitmap; // reused from frame to frame, as the frame service does
    for (int i = 0; i < iterations; ++i) {
        std::vector<std::uint8_t> stream;
        const auto t0 = Clock::now();
        CaptureScreen(*source, 0, 0, size.width, size.height, bitmap);
        const auto t1 = Clock::now();
        double bareMs = 0;
        if (i % 2 == 1) {
            bareEncode(bare, bitmap, buf, cap);
            bareMs = ms(Clock::now() - t1);
        }
        const auto t2 = Clock::now();
        DrawCursor(*source, bitmap);
        EncodeJpeg(bitmap, stream);
        const auto t3 = Clock::now();
        if (i % 2 == 0) {
            bareEncode(bare, bitmap, buf, cap);
            bareMs = ms(Clock::now() - t3);
        }
        cCapture.push_back(ms(t1 - t0));
        cRest.push_back(ms(t3 - t2));
        cBare.push_back(bareMs);
    }
    std::vector<double> cFrame(cCapture.size());
    for (std::size_t i = 0; i < cFrame.size(); ++i)
        cFrame[i] = cCapture[i] + cRest[i];
    std::printf("copying into a bitmap instead: capture+copy %.2f ms, frame %.2f ms, bare %.2f ms, "
                "ratio %.2f (fastest: capture+copy %.2f ms, ratio %.2f)\n",
                median(cCapture), median(cFrame), median(cBare), median(cFrame) / median(cBare),
                best(cCapture), (best(cCapture) + best(cRest)) / best(cBare));

    // 4. 32 pupils polling as fast as they can, with and without shared frames.
    std::printf("\n== 32 pollers for 2 s each way\n");
    double rate[2] = {0, 0}; // new frames delivered per second, summed over pupils
    for (const auto sharing : {ScreenFrameService::Sharing::Off, ScreenFrameService::Sharing::On}) {
        ScreenFrameService::Options options;
        options.sharing = sharing;
        ScreenFrameService service(source, {}, options);
        std::atomic<long> served{0}, distinct{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> pollers;
        const auto start = Clock::now();
        for (int i = 0; i < 32; ++i)
            pollers.emplace_back([&] {
                ScreenFrameService::Frame last; // held, so that no new frame reuses its address
                while (!stop.load()) {
                    const auto frame = service.frame();
                    ++served;
                    if (frame != last)
                        ++distinct;
                    last = frame;
                }
            });
        while (Clock::now() - start < std::chrono::seconds(2))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop = true;
        for (auto& t : pollers)
            t.join();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const bool on = sharing == ScreenFrameService::Sharing::On;
        rate[on] = distinct / seconds;
        std::printf("sharing %-3s: %5.1f captures/s; new frames delivered %7.1f/s in all, %5.1f/s "
                    "per pupil (%ld polls answered)\n",
                    on ? "on" : "off", service.framesMade() / seconds, rate[on], rate[on] / 32,
                    served.load());
    }
    std::printf("ratio new frames delivered on / off: %.1fx (goal >= 10x)\n", rate[1] / rate[0]);

    tjFree(buf);
    tjDestroy(bare);
    return 0;
}
