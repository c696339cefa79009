#include "core/ReconnectBackoff.h"

#include <algorithm>

namespace tavelcast {

ReconnectBackoff::ReconnectBackoff(std::uint32_t seed) : m_random(seed) {}

std::chrono::milliseconds ReconnectBackoff::next() {
    const auto step = m_step;
    std::uniform_int_distribution<std::int64_t> jitter(0, step.count() / 5);
    m_step = std::min(step * 2, LongestStep);
    return std::chrono::milliseconds(step.count() - jitter(m_random));
}

} // namespace tavelcast
