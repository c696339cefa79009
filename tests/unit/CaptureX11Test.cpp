// The real X11 screen source. The test without a display always runs; the others run
// only on the virtual display that tests/e2e/capture_x11.sh sets up, which says what it
// put on the screen through TAVELCAST_X11_* variables (they skip when those are unset).

#include "CaptureTestSupport.h"

#include "capture/CaptureError.h"
#include "capture/CaptureScreen.h"
#include "capture/ScreenFrameService.h"
#include "capture/X11ScreenSource.h"

#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using namespace tavelcast;
using namespace tavelcast::test;

namespace {

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

Rgb rgbOf(QRgb c) {
    return {std::uint8_t(qRed(c)), std::uint8_t(qGreen(c)), std::uint8_t(qBlue(c))};
}

QImage toQImage(const Bitmap& b) {
    QImage image(b.width, b.height, QImage::Format_RGB32);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            const Rgb c = pixelAt(b, x, y);
            image.setPixel(x, y, qRgb(c.r, c.g, c.b));
        }
    return image;
}

} // namespace

TEST(CaptureX11, NoDisplayFailsWithItsNameAndIsLoggedOnce) {
    auto source = std::make_shared<X11ScreenSource>(":4093");
    try {
        source->displaySize();
        FAIL() << "a display :4093 answered";
    } catch (const CaptureError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open X display \":4093\""), std::string::npos)
            << e.what();
    }
    Bitmap bitmap = solidPicture(8, 8, {1, 2, 3});
    EXPECT_THROW(CaptureScreen(*source, 0, 0, 16, 12, bitmap), CaptureError);
    EXPECT_EQ(bitmap.width, 16);
    EXPECT_EQ(bitmap.height, 12);
    EXPECT_EQ(std::count(bitmap.pixels.begin(), bitmap.pixels.end(), 0),
              static_cast<long>(bitmap.pixels.size()));
    EXPECT_FALSE(source->pointer()) << "a missing pointer is not an error";

    FailureLog log;
    ScreenFrameService service(source, log.callback());
    EXPECT_THROW(service.frame(), CaptureError);
    EXPECT_THROW(service.frame(), CaptureError);
    ASSERT_EQ(log.count(), 1u);
    EXPECT_NE(log.lines[0].find(":4093"), std::string::npos);
}

// The display shows the picture TAVELCAST_X11_PICTURE and the pointer stands at
// TAVELCAST_X11_POINTER ("x,y"). Pixels may differ by TAVELCAST_X11_TOLERANCE per channel
// (0 on a 24-bit display; more on 16-bit and palette displays).
TEST(CaptureX11, FrameShowsThePictureAndThePointer) {
    const char* picturePath = env("TAVELCAST_X11_PICTURE");
    const char* pointerText = env("TAVELCAST_X11_POINTER");
    if (!env("DISPLAY") || !picturePath || !pointerText)
        GTEST_SKIP() << "needs the virtual display of tests/e2e/capture_x11.sh";
    const int tolerance =
        env("TAVELCAST_X11_TOLERANCE") ? std::atoi(env("TAVELCAST_X11_TOLERANCE")) : 0;
    int px = -1, py = -1;
    ASSERT_EQ(std::sscanf(pointerText, "%d,%d", &px, &py), 2);
    const QImage picture =
        QImage(QString::fromLocal8Bit(picturePath)).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(picture.isNull()) << picturePath;

    auto source = std::make_shared<X11ScreenSource>();
    const ScreenSize size = source->displaySize();
    ASSERT_EQ(size.width, picture.width());
    ASSERT_EQ(size.height, picture.height());

    // The plain capture is the picture, pixel for pixel (within the display's depth).
    Bitmap raw;
    CaptureScreen(*source, 0, 0, size.width, size.height, raw);
    int wrong = 0;
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            if (maxChannelDifference(pixelAt(raw, x, y), rgbOf(picture.pixel(x, y))) > tolerance)
                ++wrong;
    EXPECT_EQ(wrong, 0) << "pixels that differ from the picture";
    std::printf("capture went through %s\n", source->usedSharedMemory() ? "MIT-SHM" : "XGetImage");

    // A part of the screen, at an offset.
    Bitmap part;
    CaptureScreen(*source, 100, 50, 64, 32, part);
    EXPECT_LE(maxChannelDifference(pixelAt(part, 0, 0), rgbOf(picture.pixel(100, 50))), tolerance);
    EXPECT_LE(maxChannelDifference(pixelAt(part, 63, 31), rgbOf(picture.pixel(163, 81))),
              tolerance);

    const auto pointer = source->pointer();
    ASSERT_TRUE(pointer);
    EXPECT_EQ(pointer->x, px);
    EXPECT_EQ(pointer->y, py);
    ASSERT_GT(pointer->width, 0);

    ScreenFrameService service(source, {});
    const auto frame = service.frame();
    const JpegLayout layout = inspectJpeg(*frame);
    EXPECT_TRUE(layout.startsWithSoi);
    EXPECT_TRUE(layout.endsWithEoi);
    EXPECT_EQ(layout.frameComponents, 3);
    const auto decoded = decodeJpeg(*frame);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, size.width);
    ASSERT_EQ(decoded->height, size.height);
    if (const char* artifact = env("TAVELCAST_X11_ARTIFACT")) {
        EXPECT_TRUE(toQImage(*decoded).save(QString::fromLocal8Bit(artifact)));
    }

    // Where the pointer image lies on the frame, with a margin for JPEG ringing.
    const int left = px - pointer->hotX, top = py - pointer->hotY;
    const auto nearPointer = [&](int x, int y, int margin) {
        return x >= left - margin && x < left + pointer->width + margin && y >= top - margin &&
               y < top + pointer->height + margin;
    };
    Bitmap expected;
    expected.reset(size.width, size.height);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
            setPixel(expected, x, y, rgbOf(picture.pixel(x, y)));

    int strayChanges = 0, pointerChanges = 0;
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            int d = maxChannelDifference(pixelAt(*decoded, x, y), pixelAt(expected, x, y));
            // Where colours meet, JPEG (4:2:0 chroma) blends neighbours:
            // a pixel that matches a picture pixel within 2 pixels of it is fine.
            for (int ny = std::max(0, y - 2);
                 d > 90 + tolerance && ny <= std::min(size.height - 1, y + 2); ++ny)
                for (int nx = std::max(0, x - 2); nx <= std::min(size.width - 1, x + 2); ++nx)
                    d = std::min(d, maxChannelDifference(pixelAt(*decoded, x, y),
                                                         pixelAt(expected, nx, ny)));
            if (d <= 90 + tolerance)
                continue;
            if (nearPointer(x, y, 0))
                ++pointerChanges;
            else if (!nearPointer(x, y, 8) && ++strayChanges <= 5)
                std::printf("differs at %d,%d (by %d)\n", x, y, d);
        }
    EXPECT_EQ(strayChanges, 0) << "the frame differs from the picture away from the pointer";
    EXPECT_GT(pointerChanges, 0) << "no pointer drawn at " << px << "," << py;
    // Every opaque pixel of the pointer that lies on the screen is on the frame.
    int opaqueOnScreen = 0, opaqueDrawn = 0;
    for (int y = 0; y < pointer->height; ++y)
        for (int x = 0; x < pointer->width; ++x) {
            const std::uint32_t p = pointer->argb[static_cast<std::size_t>(y) * pointer->width + x];
            const int sx = left + x, sy = top + y;
            if ((p >> 24) != 255 || sx < 0 || sy < 0 || sx >= size.width || sy >= size.height)
                continue;
            ++opaqueOnScreen;
            const Rgb want{std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p)};
            if (maxChannelDifference(pixelAt(*decoded, sx, sy), want) <= 100)
                ++opaqueDrawn;
        }
    ASSERT_GT(opaqueOnScreen, 0);
    // Thin one-pixel pointer strokes blur in JPEG; most must still be recognisable.
    EXPECT_GE(opaqueDrawn * 10, opaqueOnScreen * 8) << opaqueDrawn << " of " << opaqueOnScreen;
}

// TAVELCAST_X11_KILL_PID is the X server of DISPLAY; the test ends it mid-run.
TEST(CaptureX11, SurvivesTheDisplayGoingAway) {
    const char* pidText = env("TAVELCAST_X11_KILL_PID");
    if (!env("DISPLAY") || !pidText)
        GTEST_SKIP() << "needs the virtual display of tests/e2e/capture_x11.sh";
    auto source = std::make_shared<X11ScreenSource>();
    FailureLog log;
    ScreenFrameService service(source, log.callback());
    ASSERT_TRUE(inspectJpeg(*service.frame()).endsWithEoi);
    ASSERT_EQ(::kill(static_cast<pid_t>(std::atoll(pidText)), SIGKILL), 0);

    std::string cause;
    const bool failed = waitUntil(
        [&] {
            try {
                service.frame();
                return false;
            } catch (const CaptureError& e) {
                cause = e.what();
                return true;
            }
        },
        std::chrono::seconds(10));
    ASSERT_TRUE(failed) << "frames kept coming after the X server was killed";
    EXPECT_FALSE(source->pointer());
    EXPECT_THROW(service.frame(), CaptureError);
    EXPECT_THROW(source->displaySize(), CaptureError);
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.lines[0], cause);
    std::printf("logged: %s\n", log.lines[0].c_str());
}

// Several callers at once hold views of the display (more than the source keeps shared-
// memory images for, so some wait for one to be given back). Each view is the whole
// picture, although every caller scribbles over its own view: no two share a buffer. A
// rectangle partly off the display comes back with the off parts black.
TEST(CaptureX11, ConcurrentViewsEachHoldTheWholePicture) {
    const char* picturePath = env("TAVELCAST_X11_PICTURE");
    if (!env("DISPLAY") || !picturePath)
        GTEST_SKIP() << "needs the virtual display of tests/e2e/capture_x11.sh";
    const int tolerance =
        env("TAVELCAST_X11_TOLERANCE") ? std::atoi(env("TAVELCAST_X11_TOLERANCE")) : 0;
    const QImage picture =
        QImage(QString::fromLocal8Bit(picturePath)).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(picture.isNull());
    auto source = std::make_shared<X11ScreenSource>();
    const ScreenSize size = source->displaySize();
    ASSERT_EQ(size.width, picture.width());

    // Points of the picture away from where the pointer may stand.
    const std::vector<std::pair<int, int>> probes = {
        {5, 5}, {700, 20}, {20, 700}, {1000, 200}, {200, 500}, {1270, 790}, {640, 400}};
    constexpr int kCallers = 7;
    std::atomic<int> inside{0}, maxInside{0}, wrong{0}, views{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < kCallers; ++c)
        callers.emplace_back([&, c] {
            Bitmap scratch;
            for (int round = 0; round < 4; ++round)
                source->captureView(
                    0, 0, size.width, size.height, scratch, [&](const BitmapView& view) {
                        const int now = ++inside;
                        int seen = maxInside.load();
                        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
                        }
                        ++views;
                        for (const auto& [x, y] : probes) {
                            const std::uint8_t* p = view.pixel(x, y);
                            if (maxChannelDifference({p[2], p[1], p[0]},
                                                     rgbOf(picture.pixel(x, y))) > tolerance)
                                ++wrong;
                        }
                        for (const auto& [x, y] : probes) // scribble: this caller's colour
                            std::fill_n(view.pixel(x, y), 4, static_cast<std::uint8_t>(c * 30));
                        // Hold the view a moment, so that others take theirs meanwhile.
                        waitUntil([&] { return inside.load() >= 4; },
                                  std::chrono::milliseconds(300));
                        --inside;
                    });
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(views.load(), kCallers * 4);
    EXPECT_EQ(wrong.load(), 0) << "a view showed another caller's scribbles or a wrong pixel";
    EXPECT_GE(maxInside.load(), 2) << "views were never lent out side by side";
    std::printf("views held at once: at most %d\n", maxInside.load());

    Bitmap scratch;
    int calls = 0;
    source->captureView(
        size.width - 16, size.height - 8, 32, 16, scratch, [&](const BitmapView& view) {
            ++calls;
            ASSERT_EQ(view.width, 32);
            const std::uint8_t* on = view.pixel(15, 7);
            EXPECT_LE(maxChannelDifference({on[2], on[1], on[0]},
                                           rgbOf(picture.pixel(size.width - 1, size.height - 1))),
                      tolerance);
            const std::uint8_t* off = view.pixel(16, 8);
            EXPECT_EQ(off[0] + off[1] + off[2], 0);
        });
    EXPECT_EQ(calls, 1);
}
