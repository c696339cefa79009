// The class wall's thumbnail decoder on arbitrary "JPEG" payloads, as pupils may send
// anything as a snapshot. Bad input must give nothing; good input a picture of the tile's
// size.

#include "capture/ThumbnailDecoder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

using namespace tavelcast;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ThumbnailDecoder decoder;
    const std::span<const std::uint8_t> jpeg(data, size);
    const auto thumbnail = decoder.thumbnail(jpeg);
    if (thumbnail &&
        (thumbnail->size() != decoder.tileSize() || thumbnail->format() != QImage::Format_RGB32)) {
        std::fprintf(stderr, "thumbnail of the wrong size or format\n");
        std::abort();
    }
    return 0;
}
