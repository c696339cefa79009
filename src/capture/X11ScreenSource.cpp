#include "capture/X11ScreenSource.h"

#include "capture/CaptureError.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace tavelcast {

namespace {

// --- X error handling -----------------------------------------------------------------
//
// Xlib's default handlers print and exit the process. Ours are installed once for the
// process. While a thread works on one of our connections it names that connection in
// t_trapDisplay: protocol errors on it are recorded instead of fatal, and the I/O error
// handler leaves the lost connection to the connection's exit handler, which marks it lost
// and returns (so Xlib does not exit). Errors on any other connection in the process go to
// the handlers that were installed before ours.

thread_local Display* t_trapDisplay = nullptr;
thread_local int t_trapError = 0;

XErrorHandler g_previousErrorHandler = nullptr;
XIOErrorHandler g_previousIOErrorHandler = nullptr;
std::once_flag g_handlersInstalled;

int onXError(Display* display, XErrorEvent* event) {
    if (display == t_trapDisplay) {
        if (t_trapError == 0)
            t_trapError = event->error_code;
        return 0;
    }
    return g_previousErrorHandler ? g_previousErrorHandler(display, event) : 0;
}

int onXIOError(Display* display) {
    if (display == t_trapDisplay)
        return 0;
    return g_previousIOErrorHandler ? g_previousIOErrorHandler(display) : 0;
}

void installHandlers() {
    std::call_once(g_handlersInstalled, [] {
        g_previousErrorHandler = XSetErrorHandler(onXError);
        g_previousIOErrorHandler = XSetIOErrorHandler(onXIOError);
    });
}

// Names the connection the current thread works on, for the handlers above.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display)
        : m_previousDisplay(t_trapDisplay), m_previousError(t_trapError) {
        t_trapDisplay = display;
        t_trapError = 0;
    }
    ~ErrorTrap() {
        t_trapDisplay = m_previousDisplay;
        t_trapError = m_previousError;
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    int error() const { return t_trapError; }
    void clear() { t_trapError = 0; }

private:
    Display* m_previousDisplay;
    int m_previousError;
};

struct ImageDeleter {
    void operator()(XImage* image) const {
        if (image)
            XDestroyImage(image);
    }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p)
            XFree(p);
    }
};

// Scales a channel value of `bits` bits to 0..255.
inline std::uint8_t scaleChannel(unsigned long value, int bits) {
    if (bits <= 0)
        return 0;
    if (bits >= 8)
        return static_cast<std::uint8_t>(value >> (bits - 8));
    const unsigned long max = (1ul << bits) - 1;
    return static_cast<std::uint8_t>((value * 255 + max / 2) / max);
}

struct ChannelMask {
    unsigned long mask = 0;
    int shift = 0;
    int bits = 0;
    explicit ChannelMask(unsigned long m) : mask(m) {
        if (m == 0)
            return;
        while (((m >> shift) & 1ul) == 0)
            ++shift;
        while (((m >> (shift + bits)) & 1ul) != 0)
            ++bits;
    }
    std::uint8_t extract(unsigned long pixel) const {
        return scaleChannel((pixel & mask) >> shift, bits);
    }
};

} // namespace

// --- the connection ---------------------------------------------------------------------

// A shared-memory image: the X server copies the display's pixels into it, and while a
// caller encodes from it, it is lent out (busy). A retired slot has been detached from the
// X server (its size went out of date, or the connection closed); its memory is released
// as soon as nobody reads it any more.
struct ShmSlot {
    XShmSegmentInfo info{};
    XImage* image = nullptr;
    bool busy = false;
    bool retired = false;

    ShmSlot() = default;
    ShmSlot(const ShmSlot&) = delete;
    ShmSlot& operator=(const ShmSlot&) = delete;
    ~ShmSlot() {
        if (info.shmaddr)
            shmdt(info.shmaddr);
        if (image)
            XDestroyImage(image); // frees the XImage only; the segment went with shmdt
    }
};

// --- the connection ---------------------------------------------------------------------

struct X11ScreenSource::Impl {
    // At most this many shared-memory images of the display's size exist at once. With
    // shared frames one is in use; without (one capture per poll) a few let encodings run
    // side by side, and further callers wait for one to be given back.
    static constexpr std::size_t kMaxSlots = 4;

    std::string name;
    std::mutex mutex;
    std::condition_variable slotReturned;

    Display* display = nullptr;
    bool lost = false; // set by the exit handler when the connection broke
    bool shmAvailable = false;
    bool shmBroken = false; // the server could not attach our segment (a remote display)
    bool xfixes = false;
    std::vector<std::unique_ptr<ShmSlot>> slots;
    std::atomic<bool> usedShm{false};

    static void onConnectionLost(Display*, void* self) { static_cast<Impl*>(self)->lost = true; }

    std::string shownName() const {
        if (!name.empty())
            return name;
        const char* env = std::getenv("DISPLAY");
        return env && *env ? env : "(DISPLAY not set)";
    }

    CaptureError lostError() const {
        return CaptureError("screen capture failed: the connection to X display \"" + shownName() +
                            "\" was lost");
    }

    void connect() {
        if (display && lost)
            disconnect();
        if (display)
            return;
        installHandlers();
        Display* opened = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        if (!opened)
            throw CaptureError("screen capture failed: cannot open X display \"" + shownName() +
                               "\"");
        display = opened;
        lost = false;
        shmBroken = false;
        XSetIOErrorExitHandler(display, &Impl::onConnectionLost, this);

        ErrorTrap trap(display);
        int major = 0, minor = 0;
        Bool pixmaps = False;
        shmAvailable =
            XShmQueryExtension(display) && XShmQueryVersion(display, &major, &minor, &pixmaps);
        int eventBase = 0, errorBase = 0;
        xfixes = XFixesQueryExtension(display, &eventBase, &errorBase);
        if (xfixes) {
            int fixesMajor = 0, fixesMinor = 0;
            xfixes = XFixesQueryVersion(display, &fixesMajor, &fixesMinor) && fixesMajor >= 1;
        }
        if (lost)
            throw lostError();
    }

    // Detaches the slot from the X server now; its memory goes when nobody reads it.
    void retire(std::size_t index) {
        ShmSlot& slot = *slots[index];
        if (!slot.retired && display && !lost) {
            ErrorTrap trap(display);
            XShmDetach(display, &slot.info);
            XSync(display, False);
        }
        slot.retired = true;
        if (!slot.busy)
            slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void retireAll() {
        for (std::size_t i = slots.size(); i-- > 0;)
            retire(i);
    }

    void disconnect() {
        if (!display)
            return;
        retireAll();
        {
            ErrorTrap trap(display); // closing a lost connection must stay quiet too
            XCloseDisplay(display);
        }
        display = nullptr;
        lost = false;
    }

    // A new shared-memory image of exactly width x height, attached to the server;
    // nothing when the server cannot share memory with us.
    std::unique_ptr<ShmSlot> createSlot(int width, int height) {
        const int screen = DefaultScreen(display);
        auto slot = std::make_unique<ShmSlot>();
        XImage* image = XShmCreateImage(display, DefaultVisual(display, screen),
                                        static_cast<unsigned>(DefaultDepth(display, screen)),
                                        ZPixmap, nullptr, &slot->info, static_cast<unsigned>(width),
                                        static_cast<unsigned>(height));
        if (!image)
            return nullptr;
        const auto bytes = static_cast<std::size_t>(image->bytes_per_line) *
                           static_cast<std::size_t>(image->height);
        slot->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (slot->info.shmid < 0) {
            XDestroyImage(image);
            return nullptr;
        }
        char* address = static_cast<char*>(shmat(slot->info.shmid, nullptr, 0));
        if (address == reinterpret_cast<char*>(-1)) {
            shmctl(slot->info.shmid, IPC_RMID, nullptr);
            XDestroyImage(image);
            return nullptr;
        }
        slot->info.shmaddr = address;
        slot->image = image;
        image->data = address;
        slot->info.readOnly = False;

        ErrorTrap trap(display);
        const Status attached = XShmAttach(display, &slot->info);
        XSync(display, False);
        // Marked for removal now: the segment goes away by itself once both sides detach,
        // even if this process dies.
        shmctl(slot->info.shmid, IPC_RMID, nullptr);
        if (!attached || trap.error() != 0 || lost)
            return nullptr; // the slot's destructor detaches our side
        return slot;
    }

    enum class SlotResult { Got, Wait, NoShm };

    // Lends out a free shared-memory image of width x height (making one when fewer than
    // kMaxSlots exist), or says to wait for one, or that shared memory cannot be had.
    SlotResult acquireSlot(int width, int height, ShmSlot*& out) {
        if (!shmAvailable || shmBroken)
            return SlotResult::NoShm;
        std::size_t live = 0;
        for (std::size_t i = slots.size(); i-- > 0;) {
            ShmSlot& slot = *slots[i];
            if (slot.retired)
                continue;
            if (slot.image->width != width || slot.image->height != height) {
                retire(i); // the display changed size
                continue;
            }
            ++live;
            if (!slot.busy) {
                slot.busy = true;
                out = &slot;
                return SlotResult::Got;
            }
        }
        if (live >= kMaxSlots)
            return SlotResult::Wait;
        auto made = createSlot(width, height);
        if (!made) {
            shmBroken = true;
            return SlotResult::NoShm;
        }
        made->busy = true;
        out = made.get();
        slots.push_back(std::move(made));
        return SlotResult::Got;
    }

    // Gives a lent slot back; a retired one is freed.
    void releaseSlot(ShmSlot* slot) {
        slot->busy = false;
        if (slot->retired) {
            for (std::size_t i = 0; i < slots.size(); ++i)
                if (slots[i].get() == slot) {
                    slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
        }
        slotReturned.notify_all();
    }

    // Whether the image's bytes already are BGRX, so that they can be used as they are.
    bool isBgrx(const XImage* image) const {
        const Visual* visual = DefaultVisual(display, DefaultScreen(display));
        return image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
               visual->red_mask == 0xff0000 && visual->green_mask == 0xff00 &&
               visual->blue_mask == 0xff;
    }

    ScreenSize rootSize() {
        ErrorTrap trap(display);
        Window root = 0;
        int x = 0, y = 0;
        unsigned width = 0, height = 0, border = 0, depth = 0;
        const Status ok = XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width,
                                       &height, &border, &depth);
        if (lost)
            throw lostError();
        if (!ok)
            throw CaptureError("screen capture failed: cannot read the size of X display \"" +
                               shownName() + "\"");
        return {static_cast<int>(width), static_cast<int>(height)};
    }

    // Copies `image` (the display's pixels) into bitmap at (dx, dy).
    void convert(XImage* image, Bitmap& bitmap, int dx, int dy) {
        const int screen = DefaultScreen(display);
        const Visual* visual = DefaultVisual(display, screen);
        const int w = image->width, h = image->height;

        if (isBgrx(image)) {
            // The common case: the ZPixmap already is BGRX.
            for (int y = 0; y < h; ++y)
                std::memcpy(bitmap.pixel(dx, dy + y),
                            image->data + static_cast<std::size_t>(y) * image->bytes_per_line,
                            static_cast<std::size_t>(w) * Bitmap::bytesPerPixel);
            return;
        }

        if (visual->c_class == TrueColor || visual->c_class == DirectColor) {
            // DirectColor is read as if its colormap were the identity.
            const ChannelMask red(visual->red_mask), green(visual->green_mask),
                blue(visual->blue_mask);
            for (int y = 0; y < h; ++y) {
                std::uint8_t* out = bitmap.pixel(dx, dy + y);
                for (int x = 0; x < w; ++x, out += Bitmap::bytesPerPixel) {
                    const unsigned long p = XGetPixel(image, x, y);
                    out[0] = blue.extract(p);
                    out[1] = green.extract(p);
                    out[2] = red.extract(p);
                }
            }
            return;
        }

        // A palette display: look every pixel value up in the default colormap.
        const int entries = std::clamp(visual->map_entries, 0, 4096);
        std::vector<XColor> colors(static_cast<std::size_t>(entries));
        for (int i = 0; i < entries; ++i) {
            colors[static_cast<std::size_t>(i)].pixel = static_cast<unsigned long>(i);
            colors[static_cast<std::size_t>(i)].flags = DoRed | DoGreen | DoBlue;
        }
        {
            ErrorTrap trap(display);
            if (entries > 0)
                XQueryColors(display, DefaultColormap(display, screen), colors.data(), entries);
            if (lost)
                throw lostError();
            if (trap.error() != 0)
                colors.clear(); // no palette to be had: every pixel stays black
        }
        for (int y = 0; y < h; ++y) {
            std::uint8_t* out = bitmap.pixel(dx, dy + y);
            for (int x = 0; x < w; ++x, out += Bitmap::bytesPerPixel) {
                const unsigned long p = XGetPixel(image, x, y);
                if (p >= colors.size())
                    continue;
                const XColor& c = colors[p];
                out[0] = static_cast<std::uint8_t>(c.blue >> 8);
                out[1] = static_cast<std::uint8_t>(c.green >> 8);
                out[2] = static_cast<std::uint8_t>(c.red >> 8);
            }
        }
    }

    // Gives a lent slot back when it goes out of scope; the lock must be held then.
    struct SlotLoan {
        Impl& impl;
        ShmSlot* slot;
        SlotLoan(Impl& i, ShmSlot* s) : impl(i), slot(s) {}
        SlotLoan(const SlotLoan&) = delete;
        SlotLoan& operator=(const SlotLoan&) = delete;
        ~SlotLoan() { impl.releaseSlot(slot); }
    };

    // Copies the display's rectangle at (left, top) into bitmap. Called with the lock held;
    // it is let go only while waiting for a shared-memory image to be given back.
    void capture(std::unique_lock<std::mutex>& lock, int left, int top, Bitmap& bitmap) {
        // Two attempts: the display may change size between reading its size and copying.
        for (int attempt = 0; attempt < 2;) {
            connect();
            const ScreenSize root = rootSize();
            const long long x0 = std::max<long long>(left, 0);
            const long long y0 = std::max<long long>(top, 0);
            const long long x1 =
                std::min<long long>(static_cast<long long>(left) + bitmap.width, root.width);
            const long long y1 =
                std::min<long long>(static_cast<long long>(top) + bitmap.height, root.height);
            if (x1 <= x0 || y1 <= y0) {
                std::fill(bitmap.pixels.begin(), bitmap.pixels.end(), 0);
                return; // nothing of the rectangle is on the display
            }
            const int x = static_cast<int>(x0), y = static_cast<int>(y0);
            const int w = static_cast<int>(x1 - x0), h = static_cast<int>(y1 - y0);
            const Window rootWindow = DefaultRootWindow(display);

            ShmSlot* slot = nullptr;
            const SlotResult lent = acquireSlot(w, h, slot);
            if (lent == SlotResult::Wait) {
                slotReturned.wait(lock); // the display may change meanwhile: start over
                continue;
            }
            if (w != bitmap.width || h != bitmap.height)
                std::fill(bitmap.pixels.begin(), bitmap.pixels.end(), 0); // off-display parts
            if (slot) {
                SlotLoan loan{*this, slot};
                ErrorTrap trap(display);
                const Bool ok = XShmGetImage(display, rootWindow, slot->image, x, y, AllPlanes);
                if (lost)
                    throw lostError();
                if (ok && trap.error() == 0) {
                    convert(slot->image, bitmap, x - left, y - top);
                    usedShm = true;
                    return;
                }
            }

            ImagePtr image;
            int error = 0;
            {
                ErrorTrap trap(display);
                image.reset(XGetImage(display, rootWindow, x, y, static_cast<unsigned>(w),
                                      static_cast<unsigned>(h), AllPlanes, ZPixmap));
                error = trap.error();
            }
            if (lost)
                throw lostError();
            if (image && error == 0) {
                convert(image.get(), bitmap, x - left, y - top);
                usedShm = false;
                return;
            }
            if (++attempt == 2)
                throw CaptureError("screen capture failed: X display \"" + shownName() +
                                   "\" refused to copy its pixels (X error " +
                                   std::to_string(error) + ")");
        }
    }

    // The fast way to a frame: when the rectangle lies wholly on a BGRX display, the X
    // server copies it into a shared-memory image and `use` reads that image in place,
    // with the lock let go (so the display is free for the next caller meanwhile). Returns
    // false, with the lock still held, when that cannot be done; the caller then copies.
    bool captureInPlace(std::unique_lock<std::mutex>& lock, int left, int top, int width,
                        int height, const ScreenSource::ViewConsumer& use) {
        for (;;) {
            connect();
            const ScreenSize root = rootSize();
            if (left < 0 || top < 0 || static_cast<long long>(left) + width > root.width ||
                static_cast<long long>(top) + height > root.height)
                return false; // part of it is off the display: those parts must be black
            ShmSlot* slot = nullptr;
            const SlotResult lent = acquireSlot(width, height, slot);
            if (lent == SlotResult::Wait) {
                slotReturned.wait(lock);
                continue;
            }
            if (lent == SlotResult::NoShm)
                return false;
            if (!isBgrx(slot->image)) {
                releaseSlot(slot);
                return false;
            }
            bool ok = false;
            {
                ErrorTrap trap(display);
                ok = XShmGetImage(display, DefaultRootWindow(display), slot->image, left, top,
                                  AllPlanes) &&
                     trap.error() == 0;
            }
            if (lost) {
                releaseSlot(slot);
                throw lostError();
            }
            if (!ok) {
                releaseSlot(slot);
                return false;
            }
            usedShm = true;
            const BitmapView view{reinterpret_cast<std::uint8_t*>(slot->image->data), width, height,
                                  slot->image->bytes_per_line};
            lock.unlock();
            struct GiveBack {
                Impl& impl;
                ShmSlot* slot;
                GiveBack(Impl& i, ShmSlot* s) : impl(i), slot(s) {}
                GiveBack(const GiveBack&) = delete;
                GiveBack& operator=(const GiveBack&) = delete;
                ~GiveBack() {
                    std::lock_guard relock(impl.mutex);
                    impl.releaseSlot(slot);
                }
            } giveBack{*this, slot};
            use(view);
            return true;
        }
    }

    std::optional<PointerImage> pointer() {
        try {
            connect();
        } catch (const CaptureError&) {
            return std::nullopt;
        }
        if (!xfixes)
            return std::nullopt;
        ErrorTrap trap(display);
        std::unique_ptr<XFixesCursorImage, XFreeDeleter> cursor(XFixesGetCursorImage(display));
        if (!cursor || lost || trap.error() != 0)
            return std::nullopt;
        if (cursor->width == 0 || cursor->height == 0 || cursor->width > 1024 ||
            cursor->height > 1024 || !cursor->pixels)
            return std::nullopt;
        PointerImage pointer;
        pointer.width = cursor->width;
        pointer.height = cursor->height;
        pointer.hotX = cursor->xhot;
        pointer.hotY = cursor->yhot;
        pointer.x = cursor->x;
        pointer.y = cursor->y;
        pointer.visible = true;
        const std::size_t count =
            static_cast<std::size_t>(cursor->width) * static_cast<std::size_t>(cursor->height);
        pointer.argb.resize(count);
        // XFixes hands out each ARGB pixel in an unsigned long (64 bits here).
        for (std::size_t i = 0; i < count; ++i)
            pointer.argb[i] = static_cast<std::uint32_t>(cursor->pixels[i] & 0xffffffffu);
        return pointer;
    }
};

// --- the public face ------------------------------------------------------------------

X11ScreenSource::X11ScreenSource(std::string displayName) : m_impl(std::make_unique<Impl>()) {
    m_impl->name = std::move(displayName);
}

X11ScreenSource::~X11ScreenSource() {
    std::lock_guard lock(m_impl->mutex);
    m_impl->disconnect();
}

ScreenSize X11ScreenSource::displaySize() {
    std::lock_guard lock(m_impl->mutex);
    m_impl->connect();
    return m_impl->rootSize();
}

void X11ScreenSource::capture(int left, int top, Bitmap& bitmap) {
    if (bitmap.empty())
        return;
    std::unique_lock lock(m_impl->mutex);
    m_impl->capture(lock, left, top, bitmap);
}

void X11ScreenSource::captureView(int left, int top, int width, int height, Bitmap& scratch,
                                  const ViewConsumer& use) {
    if (width <= 0 || height <= 0)
        return;
    {
        std::unique_lock lock(m_impl->mutex);
        if (m_impl->captureInPlace(lock, left, top, width, height, use))
            return;
    }
    // Off the display in part, not BGRX, or no shared memory: copy and convert.
    ScreenSource::captureView(left, top, width, height, scratch, use);
}

std::optional<PointerImage> X11ScreenSource::pointer() {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->pointer();
}

bool X11ScreenSource::usedSharedMemory() const {
    return m_impl->usedShm.load();
}

} // namespace tavelcast
