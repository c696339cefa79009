#pragma once

#include "capture/CaptureError.h"
#include "capture/ScreenSource.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

namespace tavelcast {

// A display made of a Bitmap in memory, for tests. The screen, the pointer and a failure
// can be changed at any time; captures can be held at a gate so that a test can line up
// callers while a frame is in the making. Thread-safe.
class FakeScreenSource : public ScreenSource {
public:
    FakeScreenSource() = default;
    explicit FakeScreenSource(Bitmap screen) : m_screen(std::move(screen)) {}

    void setScreen(Bitmap screen) {
        std::lock_guard lock(m_mutex);
        m_screen = std::move(screen);
    }
    void setPointer(std::optional<PointerImage> pointer) {
        std::lock_guard lock(m_mutex);
        m_pointer = std::move(pointer);
    }
    // A non-empty cause makes displaySize() and capture() throw CaptureError(cause).
    void setFailure(std::string cause) {
        std::lock_guard lock(m_mutex);
        m_failure = std::move(cause);
    }
    // While closed, capture() waits at the gate until it is opened again.
    void closeGate() {
        std::lock_guard lock(m_mutex);
        m_gateOpen = false;
    }
    void openGate() {
        {
            std::lock_guard lock(m_mutex);
            m_gateOpen = true;
        }
        m_gateChanged.notify_all();
    }

    int captures() const { return m_captures.load(); }
    int pointerQueries() const { return m_pointerQueries.load(); }

    ScreenSize displaySize() override {
        std::lock_guard lock(m_mutex);
        throwIfFailing();
        return {m_screen.width, m_screen.height};
    }

    void capture(int left, int top, Bitmap& bitmap) override {
        ++m_captures;
        std::unique_lock lock(m_mutex);
        m_gateChanged.wait(lock, [this] { return m_gateOpen; });
        throwIfFailing();
        // Copy the part of the rectangle that lies on the screen; the rest is black.
        const int x0 = std::max(0, left), y0 = std::max(0, top);
        const int x1 = std::min(m_screen.width, left + bitmap.width);
        const int y1 = std::min(m_screen.height, top + bitmap.height);
        if (x0 != left || y0 != top || x1 - x0 != bitmap.width || y1 - y0 != bitmap.height)
            std::fill(bitmap.pixels.begin(), bitmap.pixels.end(), 0);
        for (int y = y0; y < y1; ++y)
            if (x1 > x0)
                std::memcpy(bitmap.pixel(x0 - left, y - top), m_screen.pixel(x0, y),
                            static_cast<std::size_t>(x1 - x0) * Bitmap::bytesPerPixel);
    }

    std::optional<PointerImage> pointer() override {
        ++m_pointerQueries;
        std::lock_guard lock(m_mutex);
        return m_pointer;
    }

private:
    void throwIfFailing() const {
        if (!m_failure.empty())
            throw CaptureError(m_failure);
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_gateChanged;
    Bitmap m_screen;
    std::optional<PointerImage> m_pointer;
    std::string m_failure;
    bool m_gateOpen = true;
    std::atomic<int> m_captures{0};
    std::atomic<int> m_pointerQueries{0};
};

} // namespace tavelcast
