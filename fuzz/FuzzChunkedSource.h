#pragma once

#include "net/ByteSource.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tavelcast::fuzzing {

// Hands out a byte stream in pieces whose sizes follow a short schedule taken from the
// input itself, so the fuzzer explores how reads split lines, count lines and payloads.
// A schedule entry of 0 means "as much as the reader asks for".
class FuzzChunkedSource : public ByteSource {
public:
    FuzzChunkedSource(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> schedule)
        : m_stream(stream), m_schedule(schedule) {}

    std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) override {
        std::size_t piece = capacity;
        if (!m_schedule.empty()) {
            const std::size_t entry = m_schedule[m_next++ % m_schedule.size()];
            if (entry != 0) {
                piece = entry;
            }
        }
        const std::size_t n = std::min({piece, capacity, m_stream.size() - m_offset});
        if (n > 0) {
            std::memcpy(buffer, m_stream.data() + m_offset, n);
        }
        m_offset += n;
        return n;
    }

private:
    std::span<const std::uint8_t> m_stream;
    std::span<const std::uint8_t> m_schedule;
    std::size_t m_offset = 0;
    std::size_t m_next = 0;
};

} // namespace tavelcast::fuzzing
