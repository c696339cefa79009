#include "CaptureTestSupport.h"

#include "capture/EncodeJpeg.h"
#include "capture/ThumbnailDecoder.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using namespace tavelcast::test;

namespace {

std::vector<std::uint8_t> jpegOf(const Bitmap& picture) {
    std::vector<std::uint8_t> stream;
    EncodeJpeg(picture, stream);
    return stream;
}

} // namespace

struct ScaleCase {
    int width, height;
    QSize expected;
};

class JpegThumbnailScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(JpegThumbnailScale, MostReductionThatStillCoversTheTile) {
    const ScaleCase& c = GetParam();
    EXPECT_EQ(ThumbnailDecoder().scaledSize(c.width, c.height), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegThumbnailScale,
                         ::testing::Values(
                             // 1/8 would give 240x135, lower than the 144-pixel tile: 1/4 it is.
                             ScaleCase{1920, 1080, QSize(480, 270)},
                             // 1/8 of 1920x1200 is 240x150: covers 192x144.
                             ScaleCase{1920, 1200, QSize(240, 150)},
                             ScaleCase{1280, 800, QSize(320, 200)}, // 1/4 (1/8 is 160x100)
                             ScaleCase{4000, 3000, QSize(500, 375)},
                             // Already smaller than the tile: decoded at full size, never enlarged.
                             ScaleCase{100, 80, QSize(100, 80)}));

TEST(JpegThumbnailDecoder, DecodesFullHdAtTheScaledSizeWithItsColours) {
    const Bitmap picture = blockPicture(1920, 1080, 240);
    const auto jpeg = jpegOf(picture);
    const ThumbnailDecoder decoder;

    const auto image = decoder.decode(jpeg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), QSize(480, 270));
    EXPECT_EQ(image->format(), QImage::Format_RGB32);
    // Block (1, 2) of the picture spans 240..479 x 480..719; at 1/4 its middle is (90, 150).
    const QRgb px = image->pixel(90, 150);
    EXPECT_LE(maxChannelDifference(
                  {std::uint8_t(qRed(px)), std::uint8_t(qGreen(px)), std::uint8_t(qBlue(px))},
                  blockColour(1, 2)),
              8);
    EXPECT_EQ(qAlpha(px), 255);

    const auto tile = decoder.thumbnail(jpeg);
    ASSERT_TRUE(tile);
    EXPECT_EQ(tile->size(), QSize(192, 144));
    EXPECT_EQ(tile->format(), QImage::Format_RGB32);
    const QRgb tpx = tile->pixel(36, 80); // the same block, stretched into the tile
    EXPECT_LE(maxChannelDifference(
                  {std::uint8_t(qRed(tpx)), std::uint8_t(qGreen(tpx)), std::uint8_t(qBlue(tpx))},
                  blockColour(1, 2)),
              10);
}

TEST(JpegThumbnailDecoder, BadInputFailsCleanly) {
    const ThumbnailDecoder decoder;
    const std::vector<std::uint8_t> empty;
    std::vector<std::uint8_t> garbage(5000);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    // A start-of-image marker followed by junk.
    std::vector<std::uint8_t> fakeHeader = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0x03, 0x01, 0x22, 0x00};
    // A header that claims 65500 x 65500 pixels (about 4 billion) and nothing else.
    auto huge = jpegOf(blockPicture(64, 64));
    for (std::size_t i = 0; i + 8 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = huge[i + 7] = 0xFF;
            huge[i + 6] = huge[i + 8] = 0xDC;
            break;
        }
    for (const std::vector<std::uint8_t>* bad :
         std::initializer_list<const std::vector<std::uint8_t>*>{&empty, &garbage, &fakeHeader,
                                                                 &huge}) {
        EXPECT_FALSE(decoder.decode(*bad));
        EXPECT_FALSE(decoder.thumbnail(*bad));
    }
}

TEST(JpegThumbnailDecoder, TruncatedJpegFailsWithoutCrashing) {
    const auto jpeg = jpegOf(blockPicture(640, 480));
    const ThumbnailDecoder decoder;
    ASSERT_TRUE(decoder.decode(jpeg));
    for (const double keep : {0.9, 0.5, 0.1}) {
        const std::vector<std::uint8_t> cut(jpeg.begin(),
                                            jpeg.begin() + static_cast<long>(jpeg.size() * keep));
        EXPECT_FALSE(decoder.decode(cut)) << "kept " << keep;
    }
}
