#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavelcast {

// What the teacher's words make the pupil's PC do. PupilClient calls these on its network
// thread; the desktop implementation hands the visible work to the UI thread.
class PupilActions {
public:
    virtual ~PupilActions() = default;

    // A JPEG of the screen, at most maxWidth pixels wide (0: full size). Throws when the
    // screen cannot be read; the teacher then gets no snapshot this time.
    virtual std::vector<std::uint8_t> snapshot(int maxWidth) = 0;

    // One frame of the teacher's screen (a JPEG as it came), to show full-screen.
    virtual void showFrame(std::vector<std::uint8_t> jpeg) = 0;
    // The teacher stopped sending the screen: take the frames away.
    virtual void stopFrames() = 0;

    virtual void keyboardLock(bool locked) = 0;
    virtual void restart(const std::string& command) = 0;
    virtual void shutDown(const std::string& command) = 0;

    virtual void disallowEnabled(bool enabled) = 0;
    virtual void disallowedList(const std::vector<std::string>& names) = 0;

    // The connection to the teacher is up.
    virtual void connected(const std::string& peer) = 0;
    // The connection is gone: frames and the keyboard lock must go with it.
    virtual void disconnected() = 0;

    // The settings file is missing or invalid (message), or usable again (empty message).
    virtual void settingsProblem(const std::string& message) = 0;
};

} // namespace tavelcast
