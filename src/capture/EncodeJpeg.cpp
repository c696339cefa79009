#include "capture/EncodeJpeg.h"

#include "capture/CaptureError.h"

#include <turbojpeg.h>

#include <limits>
#include <string>

namespace tavelcast {

namespace {

// One compressor per thread, made on first use and destroyed with the thread, together
// with the output buffer TurboJPEG grows for it (kept to spare an allocation per frame).
struct ThreadEncoder {
    tjhandle handle = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long capacity = 0;

    ThreadEncoder() = default;
    ThreadEncoder(const ThreadEncoder&) = delete;
    ThreadEncoder& operator=(const ThreadEncoder&) = delete;
    ~ThreadEncoder() {
        tjFree(buffer);
        if (handle)
            tjDestroy(handle);
    }
};

// Encodes width x height BGRX pixels, rows `stride` bytes apart; the caller has checked
// that the buffer holds them.
void encodePixels(const std::uint8_t* pixels, int width, int height, int stride,
                  std::vector<std::uint8_t>& stream) {
    thread_local ThreadEncoder encoder;
    if (!encoder.handle)
        throw CaptureError("JPEG encoding failed: cannot create a JPEG compressor");

    // Compress into a per-thread buffer sized for the worst case, so the encoder never
    // reallocates (and no buffer changes hands behind our back).
    const unsigned long worstCase = tjBufSize(width, height, TJSAMP_420);
    if (worstCase == static_cast<unsigned long>(-1) ||
        worstCase > static_cast<unsigned long>(std::numeric_limits<int>::max()))
        throw CaptureError("JPEG encoding failed: the screen picture is too large");
    if (encoder.capacity < worstCase) {
        tjFree(encoder.buffer);
        encoder.capacity = 0;
        encoder.buffer = tjAlloc(static_cast<int>(worstCase));
        if (!encoder.buffer)
            throw CaptureError("JPEG encoding failed: out of memory");
        encoder.capacity = worstCase;
    }
    unsigned long size = encoder.capacity;
    const int rc = tjCompress2(encoder.handle, pixels, width, stride, height, TJPF_BGRX,
                               &encoder.buffer, &size, TJSAMP_420, kJpegQuality, TJFLAG_NOREALLOC);
    if (rc != 0)
        throw CaptureError(std::string("JPEG encoding failed: ") + tjGetErrorStr2(encoder.handle));
    stream.insert(stream.end(), encoder.buffer, encoder.buffer + size);
}

} // namespace

void EncodeJpeg(const Bitmap& bitmap, std::vector<std::uint8_t>& stream) {
    if (bitmap.empty())
        throw CaptureError("JPEG encoding failed: the screen picture is empty");
    if (bitmap.stride < bitmap.width * Bitmap::bytesPerPixel ||
        bitmap.pixels.size() <
            static_cast<std::size_t>(bitmap.stride) * static_cast<std::size_t>(bitmap.height))
        throw CaptureError("JPEG encoding failed: the screen picture is malformed");
    encodePixels(bitmap.pixels.data(), bitmap.width, bitmap.height, bitmap.stride, stream);
}

void EncodeJpeg(const BitmapView& bitmap, std::vector<std::uint8_t>& stream) {
    if (bitmap.empty())
        throw CaptureError("JPEG encoding failed: the screen picture is empty");
    if (bitmap.stride < bitmap.width * BitmapView::bytesPerPixel)
        throw CaptureError("JPEG encoding failed: the screen picture is malformed");
    encodePixels(bitmap.pixels, bitmap.width, bitmap.height, bitmap.stride, stream);
}

} // namespace tavelcast
