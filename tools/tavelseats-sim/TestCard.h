#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavelcast::sim {

// A JPEG test card: the pupil's name in big letters on a colour of its own, so a wall of
// simulated pupils can be told apart at a glance. Needs a QGuiApplication (the offscreen
// platform is enough). Throws std::runtime_error when encoding fails.
std::vector<std::uint8_t> renderTestCard(const std::string& pupilName, int pupilIndex, int width,
                                         int height);

} // namespace tavelcast::sim
