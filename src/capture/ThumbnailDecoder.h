#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tavelcast {

// Decodes pupils' JPEG snapshots for the tiles of the class wall, off the UI thread.
// The JPEG decoder itself shrinks the picture (DCT scaling: 1/2, 1/4 or 1/8 of the size,
// far cheaper than a full decode) to the smallest size that still covers the tile, and
// the rest of the way is an ordinary resize.
//
// Every thread keeps its own decoder, so one ThumbnailDecoder may be used from several
// threads. Bad input (not a JPEG, truncated, absurd size) gives nothing, never a crash.
class ThumbnailDecoder {
public:
    static constexpr QSize kTileSize{192, 144};
    // Pictures larger than this after scaling are refused rather than allocated.
    static constexpr std::int64_t kMaxDecodedPixels = 16LL * 1024 * 1024;
    // Sources wider or taller than this are refused before decoding: even scaled down, such
    // a picture costs seconds of CPU at every refresh, and no pupil's screen is that big.
    static constexpr int kMaxSourceSide = 16384;

    explicit ThumbnailDecoder(QSize tile = kTileSize);

    // The size the DCT-scaled decode of a width x height JPEG has: the most reduction among
    // TurboJPEG's scaling factors (never enlarging) whose result is at least the tile in
    // both directions; the full size when even that is smaller than the tile.
    QSize scaledSize(int width, int height) const;

    // The DCT-scaled picture (scaledSize of the JPEG), Format_RGB32; nothing on bad input.
    std::optional<QImage> decode(std::span<const std::uint8_t> jpeg) const;

    // The picture stretched to fill the tile exactly, as the wall shows it.
    std::optional<QImage> thumbnail(std::span<const std::uint8_t> jpeg) const;

    QSize tileSize() const { return m_tile; }

private:
    QSize m_tile;
};

} // namespace tavelcast
