// Tries to take the keyboard of the X display in DISPLAY, as any other program would, and
// gives it back at once. Prints what the X server said; the exit status is 0 when the grab
// succeeded, 1 when someone else holds the keyboard, 2 otherwise.
#include <X11/Xlib.h>

#include <cstdio>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::puts("no display");
        return 2;
    }
    const int status = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                     GrabModeAsync, CurrentTime);
    int result = 2;
    switch (status) {
    case GrabSuccess:
        std::puts("GrabSuccess");
        XUngrabKeyboard(display, CurrentTime);
        result = 0;
        break;
    case AlreadyGrabbed:
        std::puts("AlreadyGrabbed");
        result = 1;
        break;
    case GrabFrozen:
        std::puts("GrabFrozen");
        break;
    case GrabNotViewable:
        std::puts("GrabNotViewable");
        break;
    default:
        std::puts("GrabInvalidTime");
    }
    XCloseDisplay(display);
    return result;
}
