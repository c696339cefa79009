#pragma once

#include <memory>

namespace tavelcast {

// The pupil's keyboard, taken away while the teacher locks it: an active grab of the whole
// keyboard on the root window, through a connection to the X server of our own (so Qt's
// connection is left alone). Key events then come to that connection, which drops them.
//
// A grab can be refused while another program holds one (an open menu, a screen locker);
// grab() then returns false and may simply be called again. Releasing the grab, closing
// the connection and ending the process all give the keyboard back.
// Used from one thread.
class KeyboardGrab {
public:
    KeyboardGrab();
    ~KeyboardGrab();
    KeyboardGrab(const KeyboardGrab&) = delete;
    KeyboardGrab& operator=(const KeyboardGrab&) = delete;

    // Takes the keyboard; true when it is held now.
    bool grab();
    void release();
    bool held() const { return m_held; }

    // The connection's descriptor (to watch for events), -1 when there is none.
    int connectionFd() const;
    // Reads and drops the key events that the grab brought.
    void drainEvents();

private:
    bool open();

    struct Display;
    std::unique_ptr<Display> m_display;
    bool m_held = false;
};

} // namespace tavelcast
