#include "CaptureTestSupport.h"

#include "capture/CaptureError.h"
#include "capture/EncodeJpeg.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tavelcast;
using namespace tavelcast::test;

TEST(JpegEncode, IsOneBaselineColourJpegThatDecodesToThePicture) {
    const Bitmap picture = blockPicture(320, 192);
    std::vector<std::uint8_t> stream;
    EncodeJpeg(picture, stream);

    const JpegLayout layout = inspectJpeg(stream);
    EXPECT_TRUE(layout.startsWithSoi);
    EXPECT_TRUE(layout.endsWithEoi);
    // Baseline sequential (SOF0), never progressive (SOF2) or extended (SOF1).
    EXPECT_NE(std::find(layout.markers.begin(), layout.markers.end(), 0xC0), layout.markers.end());
    EXPECT_EQ(std::find(layout.markers.begin(), layout.markers.end(), 0xC2), layout.markers.end());
    EXPECT_EQ(layout.frameComponents, 3);
    EXPECT_EQ(layout.frameWidth, 320);
    EXPECT_EQ(layout.frameHeight, 192);
    // Exactly one image: no second start-of-image marker before the end.
    EXPECT_EQ(std::count(layout.markers.begin(), layout.markers.end(), 0xD8), 0);

    const auto decoded = decodeJpeg(stream);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, 320);
    ASSERT_EQ(decoded->height, 192);
    EXPECT_LT(meanAbsDifference(*decoded, picture), 3.0);
    // Block centres are flat and must come back close to exact.
    for (int by = 0; by < 192 / 32; ++by)
        for (int bx = 0; bx < 320 / 32; ++bx)
            EXPECT_LE(maxChannelDifference(pixelAt(*decoded, bx * 32 + 16, by * 32 + 16),
                                           blockColour(bx, by)),
                      6)
                << "block " << bx << "," << by;
}

TEST(JpegEncode, AppendsToTheStreamAndUsesTheStride) {
    // A bitmap whose rows carry padding that must not leak into the picture.
    Bitmap padded;
    padded.width = 64;
    padded.height = 32;
    padded.stride = 64 * 4 + 40;
    padded.pixels.assign(static_cast<std::size_t>(padded.stride) * 32, 0xFF); // white padding
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            setPixel(padded, x, y, {10, 90, 200});

    std::vector<std::uint8_t> stream = {1, 2, 3};
    EncodeJpeg(padded, stream);
    ASSERT_GT(stream.size(), 3u);
    EXPECT_EQ(stream[0], 1);
    EXPECT_EQ(stream[2], 3);
    const std::span<const std::uint8_t> jpeg(stream.data() + 3, stream.size() - 3);
    EXPECT_TRUE(inspectJpeg(jpeg).startsWithSoi);
    const auto decoded = decodeJpeg(jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_LE(maxChannelDifference(pixelAt(*decoded, 63, 31), {10, 90, 200}), 6);
}

TEST(JpegEncode, EmptyOrMalformedBitmapThrowsAndLeavesTheStream) {
    Bitmap empty;
    Bitmap shortBuffer;
    shortBuffer.width = 16;
    shortBuffer.height = 16;
    shortBuffer.stride = 64;
    shortBuffer.pixels.resize(100); // far less than 16 rows
    for (const Bitmap* bad : {&empty, &shortBuffer}) {
        std::vector<std::uint8_t> stream = {7};
        EXPECT_THROW(EncodeJpeg(*bad, stream), CaptureError);
        EXPECT_EQ(stream, std::vector<std::uint8_t>{7});
    }
}

TEST(JpegEncode, AViewOfThePixelsEncodesExactlyAsTheBitmap) {
    // Rows with padding, as a capture buffer may have: the view must honour the stride.
    Bitmap padded = blockPicture(96, 40);
    Bitmap wide;
    wide.width = 96;
    wide.height = 40;
    wide.stride = 96 * 4 + 64;
    wide.pixels.assign(static_cast<std::size_t>(wide.stride) * 40, 0xFF);
    for (int y = 0; y < 40; ++y)
        std::copy_n(padded.pixel(0, y), 96 * 4, wide.pixel(0, y));

    std::vector<std::uint8_t> fromBitmap, fromView;
    EncodeJpeg(wide, fromBitmap);
    EncodeJpeg(wide.view(), fromView);
    EXPECT_EQ(fromView, fromBitmap);
    std::vector<std::uint8_t> fromTight;
    EncodeJpeg(padded, fromTight);
    EXPECT_EQ(fromView, fromTight) << "padding leaked into the picture";

    std::vector<std::uint8_t> untouched = {9};
    EXPECT_THROW(EncodeJpeg(BitmapView{}, untouched), CaptureError);
    EXPECT_THROW(EncodeJpeg(BitmapView{wide.pixels.data(), 96, 40, 95 * 4}, untouched),
                 CaptureError)
        << "a stride shorter than a row";
    EXPECT_EQ(untouched, std::vector<std::uint8_t>{9});
}
