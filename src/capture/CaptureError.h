#pragma once

#include <stdexcept>
#include <string>

namespace tavelcast {

// The screen could not be read (no display, the display connection closed) or a frame
// could not be encoded. what() names the cause in words fit for the connection log.
class CaptureError : public std::runtime_error {
public:
    explicit CaptureError(const std::string& cause) : std::runtime_error(cause) {}
};

} // namespace tavelcast
