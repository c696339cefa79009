#pragma once

#include "capture/ScreenSource.h"
#include "net/ScreenFrameSource.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavelcast {

// Makes the JPEG frames of the teacher's screen that answer pupils' polls: the display's
// size now, a capture of the whole display, the pointer drawn on it, JPEG encoding.
//
// Frames are shared: while one frame is being made, every other poll waits for it and gets
// the same bytes, and polls within `shareWindow` (1/30 s) after a frame was finished get
// that frame too. So the cost follows the frame rate, not the number of pupils. Sharing can
// be switched off (one capture per poll), which the benchmark uses as its baseline.
//
// A frame that cannot be made throws CaptureError (the caller ends its connection). The
// first such failure in the service's life also calls `onFirstFailure` once with a line
// naming the cause; later failures call nothing.
//
// Thread-safe: frame() may be called from any number of threads at once.
class ScreenFrameService : public ScreenFrameSource {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using FailureCallback = std::function<void(const std::string&)>;
    using Frame = std::shared_ptr<const std::vector<std::uint8_t>>;

    enum class Sharing { On, Off };

    struct Options {
        Sharing sharing = Sharing::On;
        std::chrono::nanoseconds shareWindow = std::chrono::nanoseconds(1'000'000'000 / 30);
        Clock clock; // empty = std::chrono::steady_clock::now
    };

    ScreenFrameService(std::shared_ptr<ScreenSource> source, FailureCallback onFirstFailure);
    ScreenFrameService(std::shared_ptr<ScreenSource> source, FailureCallback onFirstFailure,
                       Options options);

    Frame frame() override;

    // How many frames were started (captured or failed), for tests and the benchmark.
    std::uint64_t framesMade() const;
    // How many callers are waiting now for a frame in the making, for tests.
    int waitingCallers() const;

private:
    Frame makeFrame(Bitmap& bitmap);
    Frame makeFrameReportingFailure(Bitmap& bitmap);
    std::chrono::steady_clock::time_point now() const;

    const std::shared_ptr<ScreenSource> m_source;
    const FailureCallback m_onFirstFailure;
    const Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_frameDone;
    bool m_making = false;          // a frame is in the making
    std::uint64_t m_generation = 0; // frames finished (or failed) so far
    Frame m_last;                   // the latest frame, null after a failure
    std::string m_lastFailure;      // the cause when m_last is null
    std::chrono::steady_clock::time_point m_lastFinished{};
    std::uint64_t m_framesMade = 0;
    int m_waiting = 0;
    bool m_failureReported = false;
    // The picture of the frame in the making, for sources that cannot lend out their own
    // capture buffer; kept between frames so that each frame does not allocate (and fault
    // in) a screen-sized buffer anew. Only the one caller that makes the shared frame
    // touches it.
    Bitmap m_sharedBitmap;
};

} // namespace tavelcast
