#include "capture/ScreenFrameService.h"

#include "capture/CaptureError.h"
#include "capture/DrawCursor.h"
#include "capture/EncodeJpeg.h"

#include <exception>
#include <stdexcept>
#include <utility>

namespace tavelcast {

ScreenFrameService::ScreenFrameService(std::shared_ptr<ScreenSource> source,
                                       FailureCallback onFirstFailure)
    : ScreenFrameService(std::move(source), std::move(onFirstFailure), Options{}) {}

ScreenFrameService::ScreenFrameService(std::shared_ptr<ScreenSource> source,
                                       FailureCallback onFirstFailure, Options options)
    : m_source(std::move(source)), m_onFirstFailure(std::move(onFirstFailure)),
      m_options(std::move(options)) {
    if (!m_source)
        throw std::invalid_argument("ScreenFrameService needs a screen source");
}

std::chrono::steady_clock::time_point ScreenFrameService::now() const {
    return m_options.clock ? m_options.clock() : std::chrono::steady_clock::now();
}

ScreenFrameService::Frame ScreenFrameService::makeFrame(Bitmap& bitmap) {
    const ScreenSize size = m_source->displaySize();
    if (size.width <= 0 || size.height <= 0)
        throw CaptureError("screen capture failed: the display has no size");
    auto stream = std::make_shared<std::vector<std::uint8_t>>();
    // Encoded straight from the capture buffer when the source lends it out: the pointer
    // is drawn into that buffer (it is filled anew by the next capture), and no copy of
    // the screen is made. Otherwise `bitmap` serves as the buffer.
    bool encoded = false;
    m_source->captureView(0, 0, size.width, size.height, bitmap, [&](const BitmapView& view) {
        DrawCursor(*m_source, view);
        EncodeJpeg(view, *stream);
        encoded = true;
    });
    if (!encoded)
        throw CaptureError("screen capture failed: the display gave no picture");
    return stream;
}

ScreenFrameService::Frame ScreenFrameService::makeFrameReportingFailure(Bitmap& bitmap) {
    std::string cause;
    try {
        return makeFrame(bitmap);
    } catch (const std::exception& e) {
        cause = e.what();
    } catch (...) {
        cause = "screen capture failed: unknown error";
    }
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        first = !m_failureReported;
        m_failureReported = true;
    }
    // Called outside our lock: the callback takes the connection log's lock.
    if (first && m_onFirstFailure) {
        try {
            m_onFirstFailure(cause);
        } catch (...) {
            // A failing log line must not turn into a second, different failure.
        }
    }
    throw CaptureError(cause);
}

ScreenFrameService::Frame ScreenFrameService::frame() {
    if (m_options.sharing == Sharing::Off) {
        {
            std::lock_guard lock(m_mutex);
            ++m_framesMade;
        }
        Bitmap bitmap;
        return makeFrameReportingFailure(bitmap);
    }

    std::unique_lock lock(m_mutex);
    if (m_making) {
        // A frame is being made right now: take that one, whatever it turns out to be.
        const std::uint64_t awaited = m_generation + 1;
        ++m_waiting;
        m_frameDone.wait(lock, [&] { return m_generation >= awaited; });
        --m_waiting;
        if (!m_last)
            throw CaptureError(m_lastFailure);
        return m_last;
    }
    if (m_last && now() - m_lastFinished < m_options.shareWindow)
        return m_last;

    m_making = true;
    ++m_framesMade;
    lock.unlock();

    Frame made;
    std::string failure;
    try {
        made = makeFrameReportingFailure(m_sharedBitmap);
    } catch (const std::exception& e) {
        failure = e.what();
    }

    lock.lock();
    m_making = false;
    ++m_generation;
    m_last = made;
    m_lastFailure = failure;
    m_lastFinished = now();
    lock.unlock();
    m_frameDone.notify_all();

    if (!made)
        throw CaptureError(failure);
    return made;
}

std::uint64_t ScreenFrameService::framesMade() const {
    std::lock_guard lock(m_mutex);
    return m_framesMade;
}

int ScreenFrameService::waitingCallers() const {
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

} // namespace tavelcast
