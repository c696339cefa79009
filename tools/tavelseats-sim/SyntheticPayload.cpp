#include "SyntheticPayload.h"

#include <algorithm>
#include <string>

namespace tavelcast::sim {

std::vector<std::uint8_t> makeSyntheticPayload(std::string_view pupilName, std::uint64_t sequence,
                                               std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    if (size == 0) {
        return bytes;
    }
    // Filler: xorshift64 seeded from the name and the sequence number (FNV-1a).
    std::uint64_t state = 1469598103934665603ull;
    for (char c : pupilName) {
        state = (state ^ static_cast<std::uint8_t>(c)) * 1099511628211ull;
    }
    state = (state ^ sequence) * 1099511628211ull;
    if (state == 0) {
        state = 0x9e3779b97f4a7c15ull;
    }
    std::size_t i = 0;
    while (i < size) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        for (int b = 0; b < 8 && i < size; ++b, ++i) {
            bytes[i] = static_cast<std::uint8_t>(state >> (8 * b));
        }
    }
    if (size < 4) {
        return bytes;
    }
    bytes[0] = 0xFF;
    bytes[1] = 0xD8;
    bytes[size - 2] = 0xFF;
    bytes[size - 1] = 0xD9;
    const std::string label =
        " tavelseats-sim " + std::string(pupilName) + " snapshot " + std::to_string(sequence) + " ";
    const std::size_t room = size - 4;
    std::copy_n(label.begin(), std::min(room, label.size()), bytes.begin() + 2);
    return bytes;
}

bool hasJpegMarkers(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 &&
           bytes[bytes.size() - 2] == 0xFF && bytes[bytes.size() - 1] == 0xD9;
}

} // namespace tavelcast::sim
