#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tavelcast {

// Gives the JPEG frame of the teacher's screen that answers a pupil's poll while
// screen sending is on. Called on connection threads, many at once.
class ScreenFrameSource {
public:
    virtual ~ScreenFrameSource() = default;
    // A complete JPEG byte stream. Throws when no frame can be made; the caller then
    // ends its connection.
    virtual std::shared_ptr<const std::vector<std::uint8_t>> frame() = 0;
};

} // namespace tavelcast
