#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace tavelcast {

// How long to wait before the next attempt to reach the teacher. The step starts at 1 s
// and doubles after every failed attempt up to 30 s; each wait is the step less a random
// part of up to a fifth of it, so a class whose teacher PC comes back does not reconnect
// in one burst. A connection that was made resets the step.
class ReconnectBackoff {
public:
    static constexpr std::chrono::milliseconds FirstStep{1000};
    static constexpr std::chrono::milliseconds LongestStep{30000};

    explicit ReconnectBackoff(std::uint32_t seed = std::random_device{}());

    // The wait before the next attempt; the step then doubles (up to LongestStep).
    std::chrono::milliseconds next();

    // The step the next wait is taken from.
    std::chrono::milliseconds step() const { return m_step; }

    void reset() { m_step = FirstStep; }

private:
    std::chrono::milliseconds m_step = FirstStep;
    std::minstd_rand m_random;
};

} // namespace tavelcast
