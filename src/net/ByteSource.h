#pragma once

#include <cstddef>
#include <cstdint>

namespace tavelcast {

// Where a LineReader gets its bytes: a socket, or memory in tests and fuzzing.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Blocks until at least one byte is available; returns the number of bytes read,
    // 0 when the peer has closed the stream. Throws on a transport error.
    virtual std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) = 0;
};

} // namespace tavelcast
