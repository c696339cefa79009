#include "x11/KeyboardGrab.h"

#include <X11/Xlib.h>

namespace tavelcast {

struct KeyboardGrab::Display {
    ::Display* connection = nullptr;
    ~Display() {
        if (connection != nullptr) {
            XCloseDisplay(connection);
        }
    }
};

KeyboardGrab::KeyboardGrab() = default;

KeyboardGrab::~KeyboardGrab() {
    release();
}

bool KeyboardGrab::open() {
    if (m_display) {
        return true;
    }
    ::Display* connection = XOpenDisplay(nullptr);
    if (connection == nullptr) {
        return false;
    }
    m_display = std::make_unique<Display>();
    m_display->connection = connection;
    return true;
}

bool KeyboardGrab::grab() {
    if (m_held) {
        return true;
    }
    if (!open()) {
        return false;
    }
    ::Display* d = m_display->connection;
    const int status =
        XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    m_held = status == GrabSuccess;
    return m_held;
}

void KeyboardGrab::release() {
    if (m_held && m_display) {
        XUngrabKeyboard(m_display->connection, CurrentTime);
        XSync(m_display->connection, False);
    }
    m_held = false;
}

int KeyboardGrab::connectionFd() const {
    return m_display ? ConnectionNumber(m_display->connection) : -1;
}

void KeyboardGrab::drainEvents() {
    if (!m_display) {
        return;
    }
    ::Display* d = m_display->connection;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
    }
}

} // namespace tavelcast
