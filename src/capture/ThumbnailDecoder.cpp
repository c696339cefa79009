#include "capture/ThumbnailDecoder.h"

#include <turbojpeg.h>

#include <QtGlobal>

namespace tavelcast {

namespace {

struct ThreadDecoder {
    tjhandle handle = tjInitDecompress();
    ThreadDecoder() = default;
    ThreadDecoder(const ThreadDecoder&) = delete;
    ThreadDecoder& operator=(const ThreadDecoder&) = delete;
    ~ThreadDecoder() {
        if (handle)
            tjDestroy(handle);
    }
};

tjhandle threadDecoder() {
    thread_local ThreadDecoder decoder;
    return decoder.handle;
}

// QImage::Format_RGB32 is 0xffRRGGBB in the machine's byte order.
constexpr int kQtRgb32PixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

} // namespace

ThumbnailDecoder::ThumbnailDecoder(QSize tile) : m_tile(tile) {
    if (m_tile.width() < 1 || m_tile.height() < 1)
        m_tile = kTileSize;
}

QSize ThumbnailDecoder::scaledSize(int width, int height) const {
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    QSize best(width, height);
    if (!factors)
        return best;
    for (int i = 0; i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num <= 0 || f.denom <= 0 || f.num > f.denom)
            continue; // never enlarge in the decoder
        const int w = TJSCALED(width, f);
        const int h = TJSCALED(height, f);
        if (w >= m_tile.width() && h >= m_tile.height() &&
            static_cast<qint64>(w) * h < static_cast<qint64>(best.width()) * best.height())
            best = QSize(w, h);
    }
    return best;
}

std::optional<QImage> ThumbnailDecoder::decode(std::span<const std::uint8_t> jpeg) const {
    if (jpeg.size() < 4 || jpeg.size() > static_cast<std::size_t>(0x7fffffff))
        return std::nullopt;
    tjhandle handle = threadDecoder();
    if (!handle)
        return std::nullopt;

    // TurboJPEG's API is not const-correct; it only reads the input.
    auto* data = const_cast<unsigned char*>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) != 0)
        return std::nullopt;
    if (width <= 0 || height <= 0 || width > kMaxSourceSide || height > kMaxSourceSide)
        return std::nullopt;

    const QSize target = scaledSize(width, height);
    if (static_cast<std::int64_t>(target.width()) * target.height() > kMaxDecodedPixels)
        return std::nullopt;

    QImage image(target, QImage::Format_RGB32);
    if (image.isNull())
        return std::nullopt;
    // Any error or warning (truncated data, corrupt segments) counts as a failed load: a
    // half-decoded picture is not shown.
    if (tjDecompress2(handle, data, size, image.bits(), target.width(),
                      static_cast<int>(image.bytesPerLine()), target.height(), kQtRgb32PixelFormat,
                      TJFLAG_STOPONWARNING) != 0)
        return std::nullopt;
    return image;
}

std::optional<QImage> ThumbnailDecoder::thumbnail(std::span<const std::uint8_t> jpeg) const {
    auto decoded = decode(jpeg);
    if (!decoded)
        return std::nullopt;
    if (decoded->size() == m_tile)
        return decoded;
    return decoded->scaled(m_tile, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_RGB32);
}

} // namespace tavelcast
