#include "CaptureTestSupport.h"

#include "capture/CaptureError.h"
#include "capture/CaptureScreen.h"
#include "capture/DrawCursor.h"
#include "capture/FakeScreenSource.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using namespace tavelcast::test;

namespace {

constexpr Rgb kBackground{255, 255, 255};
constexpr std::uint32_t kOpaqueRed = 0xFFFF0000;
constexpr std::uint32_t kOpaqueBlue = 0xFF0000FF;

// A 6x4 pointer: opaque blue everywhere except the hot spot at (2, 1), which is opaque red.
PointerImage markedPointer(int x, int y) {
    PointerImage p;
    p.width = 6;
    p.height = 4;
    p.hotX = 2;
    p.hotY = 1;
    p.x = x;
    p.y = y;
    p.argb.assign(24, kOpaqueBlue);
    p.argb[1 * 6 + 2] = kOpaqueRed;
    return p;
}

bool isBackground(const Bitmap& b, int x, int y) {
    const Rgb c = pixelAt(b, x, y);
    return c.r == 255 && c.g == 255 && c.b == 255;
}

// How many pixels of the bitmap the pointer changed.
int changedPixels(const Bitmap& b) {
    int n = 0;
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x)
            n += isBackground(b, x, y) ? 0 : 1;
    return n;
}

} // namespace

TEST(CaptureDrawCursor, HotSpotLandsOnThePointerPosition) {
    Bitmap bitmap = solidPicture(40, 30, kBackground);
    BlendPointer(markedPointer(10, 20), bitmap);
    const Rgb hot = pixelAt(bitmap, 10, 20);
    EXPECT_EQ(hot.r, 255);
    EXPECT_EQ(hot.g, 0);
    EXPECT_EQ(hot.b, 0);
    // The image's top-left sits at position minus hot spot; its far corner at +5, +3.
    EXPECT_EQ(pixelAt(bitmap, 8, 19).b, 255);
    EXPECT_EQ(pixelAt(bitmap, 8, 19).r, 0);
    EXPECT_EQ(pixelAt(bitmap, 13, 22).r, 0);
    EXPECT_TRUE(isBackground(bitmap, 7, 19));
    EXPECT_TRUE(isBackground(bitmap, 14, 22));
    EXPECT_TRUE(isBackground(bitmap, 8, 18));
    EXPECT_TRUE(isBackground(bitmap, 8, 23));
    EXPECT_EQ(changedPixels(bitmap), 24);
}

TEST(CaptureDrawCursor, DrawingAreaOffsetShiftsThePointer) {
    Bitmap bitmap = solidPicture(40, 30, kBackground);
    BlendPointer(markedPointer(110, 220), bitmap, 100, 200);
    EXPECT_EQ(pixelAt(bitmap, 10, 20).r, 255);
    EXPECT_EQ(pixelAt(bitmap, 10, 20).b, 0);
}

TEST(CaptureDrawCursor, PremultipliedAlphaBlendsOverThePicture) {
    Bitmap bitmap = solidPicture(4, 4, {255, 255, 255});
    setPixel(bitmap, 2, 2, {0, 100, 200});
    PointerImage p;
    p.width = p.height = 1;
    p.x = 1;
    p.y = 1;
    // Half-transparent red, premultiplied: alpha 128, red 128.
    p.argb = {0x80800000};
    BlendPointer(p, bitmap);
    // 128 + 255 * 127 / 255 = 255 for red; 0 + 255 * 127 / 255 = 127 for green and blue.
    Rgb c = pixelAt(bitmap, 1, 1);
    EXPECT_EQ(c.r, 255);
    EXPECT_EQ(c.g, 127);
    EXPECT_EQ(c.b, 127);

    // The same pointer over a coloured pixel: 128 + 0, 0 + 100*127/255, 0 + 200*127/255.
    p.x = 2;
    p.y = 2;
    BlendPointer(p, bitmap);
    c = pixelAt(bitmap, 2, 2);
    EXPECT_EQ(c.r, 128);
    EXPECT_EQ(c.g, 50);
    EXPECT_EQ(c.b, 100);

    // Fully transparent pixels leave the picture alone.
    p.x = 3;
    p.y = 3;
    p.argb = {0x00000000};
    BlendPointer(p, bitmap);
    EXPECT_TRUE(isBackground(bitmap, 3, 3));
}

struct ClipCase {
    const char* name;
    int x, y;          // pointer position on a 40x30 bitmap
    int expectChanged; // pixels of the 6x4 pointer that remain on the bitmap
    bool hotSpotVisible;
};

class CaptureDrawCursorClip : public ::testing::TestWithParam<ClipCase> {};

TEST_P(CaptureDrawCursorClip, PointerAtAnEdgeIsClippedNotMoved) {
    const ClipCase& c = GetParam();
    Bitmap bitmap = solidPicture(40, 30, kBackground);
    BlendPointer(markedPointer(c.x, c.y), bitmap);
    EXPECT_EQ(changedPixels(bitmap), c.expectChanged);
    if (c.hotSpotVisible) {
        EXPECT_EQ(pixelAt(bitmap, c.x, c.y).r, 255) << "the hot spot stays on the position";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, CaptureDrawCursorClip,
    ::testing::Values(
        // Image spans x 37..42 (3 columns left) and y 19..22 (all rows): 3 * 4 pixels.
        ClipCase{"right", 39, 20, 12, true},
        // Image spans y 27..30 (3 rows left): 6 * 3.
        ClipCase{"bottom", 10, 28, 18, true},
        // Corner: columns 37..39 and rows 28..29 remain: 3 * 2.
        ClipCase{"bottomRight", 39, 29, 6, true},
        // Hot spot at (0, 0): image from (-2, -1), 4 columns and 3 rows on the bitmap.
        ClipCase{"topLeft", 0, 0, 12, true},
        // Pointer entirely off the picture (pointer on another monitor, or negative).
        ClipCase{"offRight", 100, 10, 0, false}, ClipCase{"offAbove", 10, -10, 0, false},
        ClipCase{"hugeCoordinates", 2147483647, -2147483647 - 1, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureDrawCursor, HiddenOrMissingPointerDrawsNothing) {
    FakeScreenSource source(solidPicture(20, 20, kBackground));
    Bitmap bitmap = solidPicture(20, 20, kBackground);

    DrawCursor(source, bitmap); // no pointer at all
    PointerImage hidden = markedPointer(5, 5);
    hidden.visible = false;
    source.setPointer(hidden);
    DrawCursor(source, bitmap);
    PointerImage truncated = markedPointer(5, 5);
    truncated.argb.resize(3); // fewer pixels than its size claims
    source.setPointer(truncated);
    DrawCursor(source, bitmap);
    EXPECT_EQ(changedPixels(bitmap), 0);
    EXPECT_EQ(source.pointerQueries(), 3);

    source.setPointer(markedPointer(5, 5));
    DrawCursor(source, bitmap);
    EXPECT_EQ(changedPixels(bitmap), 24);
}

TEST(CaptureScreen, CopiesTheRectangleAtItsCorner) {
    const Bitmap screen = blockPicture(128, 96, 16);
    FakeScreenSource source(screen);
    Bitmap bitmap;
    CaptureScreen(source, 16, 32, 48, 40, bitmap);
    ASSERT_EQ(bitmap.width, 48);
    ASSERT_EQ(bitmap.height, 40);
    for (int y = 0; y < 40; y += 7)
        for (int x = 0; x < 48; x += 5)
            EXPECT_EQ(std::memcmp(bitmap.pixel(x, y), screen.pixel(16 + x, 32 + y), 3), 0);
}

TEST(CaptureScreen, PartsOffTheDisplayAreBlackEvenInAReusedBitmap) {
    const Bitmap screen = solidPicture(64, 48, {200, 100, 50});
    FakeScreenSource source(screen);
    // A bitmap of the right size that still holds an older picture.
    Bitmap bitmap = solidPicture(32, 32, {9, 9, 9});
    CaptureScreen(source, 48, 32, 32, 32, bitmap); // 16 x 16 of it lies on the display
    EXPECT_EQ(pixelAt(bitmap, 0, 0).r, 200);
    EXPECT_EQ(pixelAt(bitmap, 15, 15).g, 100);
    for (const auto& [x, y] : {std::pair{16, 0}, std::pair{0, 16}, std::pair{31, 31}}) {
        const Rgb c = pixelAt(bitmap, x, y);
        EXPECT_EQ(c.r + c.g + c.b, 0) << x << "," << y;
    }
}

TEST(CaptureScreen, ZeroWidthOrHeightLeavesTheBitmapUnchanged) {
    FakeScreenSource source(blockPicture(64, 64));
    Bitmap bitmap = solidPicture(3, 2, {1, 2, 3});
    const Bitmap before = bitmap;
    CaptureScreen(source, 0, 0, 0, 64, bitmap);
    CaptureScreen(source, 0, 0, 64, 0, bitmap);
    EXPECT_EQ(bitmap.width, 3);
    EXPECT_EQ(bitmap.height, 2);
    EXPECT_EQ(bitmap.pixels, before.pixels);
    EXPECT_EQ(source.captures(), 0);
}

TEST(CaptureScreen, FailureLeavesABlankBitmapOfTheAskedSizeAndThrows) {
    FakeScreenSource source(blockPicture(64, 64));
    source.setFailure("no display here");
    Bitmap bitmap = solidPicture(8, 8, {9, 9, 9});
    try {
        CaptureScreen(source, 0, 0, 30, 20, bitmap);
        FAIL() << "no exception";
    } catch (const CaptureError& e) {
        EXPECT_STREQ(e.what(), "no display here");
    }
    EXPECT_EQ(bitmap.width, 30);
    EXPECT_EQ(bitmap.height, 20);
    EXPECT_TRUE(std::all_of(bitmap.pixels.begin(), bitmap.pixels.end(),
                            [](std::uint8_t v) { return v == 0; }));
}

// A source that cannot lend out its own buffer captures into the caller's scratch bitmap
// and lends that: the view shows the rectangle, and drawing on it leaves the screen alone.
TEST(CaptureScreen, CaptureViewLendsTheScratchBitmapFilledFromTheScreen) {
    const Bitmap screen = blockPicture(128, 96, 16);
    FakeScreenSource source(screen);
    Bitmap scratch;
    int calls = 0;
    source.captureView(16, 8, 64, 48, scratch, [&](const BitmapView& view) {
        ++calls;
        ASSERT_EQ(view.width, 64);
        ASSERT_EQ(view.height, 48);
        EXPECT_EQ(view.pixels, scratch.pixels.data());
        for (int y = 0; y < 48; y += 5)
            for (int x = 0; x < 64; x += 7)
                EXPECT_EQ(std::memcmp(view.pixel(x, y), screen.pixel(16 + x, 8 + y), 3), 0);
        BlendPointer(markedPointer(10, 10), view);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(maxChannelDifference(pixelAt(scratch, 10, 10), {255, 0, 0}), 0)
        << "the pointer's hot spot was drawn into the lent pixels";
    // The next capture fills the buffer anew from the screen, pointer gone.
    source.captureView(16, 8, 64, 48, scratch, [&](const BitmapView&) { ++calls; });
    EXPECT_EQ(std::memcmp(scratch.pixel(10, 10), screen.pixel(26, 18), 3), 0);
    EXPECT_EQ(calls, 2);

    // Nothing to capture: nothing happens.
    source.captureView(0, 0, 0, 48, scratch, [&](const BitmapView&) { ++calls; });
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(source.captures(), 2);

    // A failed capture throws and never hands out a view.
    source.setFailure("display gone");
    EXPECT_THROW(source.captureView(0, 0, 64, 48, scratch, [&](const BitmapView&) { ++calls; }),
                 CaptureError);
    EXPECT_EQ(calls, 2);
}
