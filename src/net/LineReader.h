#pragma once

#include "net/ByteSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavelcast {

// Parses a count line: decimal digits only, at most framing::MaxPayloadBytes.
// Anything else (empty, a sign, letters, a value too large) gives no value.
std::optional<std::size_t> parseCountLine(std::string_view line);

// Buffered reader of the client framing: lines ended by LF (one CR before it is
// removed), and exact runs of payload bytes.
class LineReader {
public:
    explicit LineReader(ByteSource& source, std::size_t maxLineBytes = 16384);

    // Returns the next line without its terminator. Throws ConnectionClosed when the
    // stream ends first (a partial line is dropped) and ProtocolError when more than
    // maxLineBytes arrive without a line feed.
    std::string readLine();

    // Reads exactly n bytes into out (replacing its contents). Throws ConnectionClosed
    // when the stream ends first.
    void readExact(std::size_t n, std::vector<std::uint8_t>& out);

    // Bytes received but not yet consumed.
    std::size_t buffered() const { return m_end - m_begin; }

private:
    bool fill();

    ByteSource& m_source;
    std::size_t m_maxLineBytes;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace tavelcast
