#pragma once

#include "capture/ScreenSource.h"

#include <memory>
#include <string>

namespace tavelcast {

// The teacher's X11 display (the root window of its default screen).
//
// One connection to the X server, opened on first use and used under a lock by whichever
// thread captures; with shared frames only one thread captures at a time, and the number
// of X clients and shared-memory segments stays at one however many pupils poll. After the
// connection is lost (the X server went away) every call fails until a new connection can
// be opened; the next call tries again. X errors on this connection never end the process.
//
// Pixels come through MIT-SHM (XShmGetImage) when the server offers it and the segment can
// be attached (a local server), through XGetImage otherwise. 24/32-bit TrueColor displays
// are copied as they are; other TrueColor/DirectColor depths are converted through their
// colour masks, and palette visuals (PseudoColor, StaticColor, GrayScale, StaticGray)
// through the default colormap. The pointer comes from XFixes.
//
// A frame is read straight from the shared-memory image the X server filled (no copy into
// a bitmap of our own) when the display's pixels already are BGRX; a few such images exist
// at most, each lent to one caller at a time, so concurrent captures do not wait for each
// other's encoding.
//
// The display size is the whole root window: with several monitors, all of them.
class X11ScreenSource : public ScreenSource {
public:
    // displayName empty = the DISPLAY environment variable.
    explicit X11ScreenSource(std::string displayName = {});
    ~X11ScreenSource() override;
    X11ScreenSource(const X11ScreenSource&) = delete;
    X11ScreenSource& operator=(const X11ScreenSource&) = delete;

    ScreenSize displaySize() override;
    void capture(int left, int top, Bitmap& bitmap) override;
    // Lends out the shared-memory image itself when it can (see ScreenSource).
    void captureView(int left, int top, int width, int height, Bitmap& scratch,
                     const ViewConsumer& use) override;
    std::optional<PointerImage> pointer() override;

    // Whether the last capture went through MIT-SHM (for the benchmark and tests).
    bool usedSharedMemory() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tavelcast
