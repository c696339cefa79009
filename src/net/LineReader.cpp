#include "net/LineReader.h"

#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

#include <algorithm>
#include <cstring>

namespace tavelcast {

std::optional<std::size_t> parseCountLine(std::string_view line) {
    if (line.empty() || line.size() > 12) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (char c : line) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (value > framing::MaxPayloadBytes) {
        return std::nullopt;
    }
    return value;
}

namespace {
constexpr std::size_t ReadChunk = 64 * 1024;
}

LineReader::LineReader(ByteSource& source, std::size_t maxLineBytes)
    : m_source(source), m_maxLineBytes(maxLineBytes) {
    m_buffer.resize(std::max(ReadChunk, maxLineBytes + 1));
}

bool LineReader::fill() {
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    } else if (m_end == m_buffer.size()) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    const std::size_t n = m_source.readSome(m_buffer.data() + m_end, m_buffer.size() - m_end);
    m_end += n;
    return n > 0;
}

std::string LineReader::readLine() {
    std::size_t scanned = 0;
    for (;;) {
        const auto* first = m_buffer.data() + m_begin + scanned;
        const auto* last = m_buffer.data() + m_end;
        const auto* lf = std::find(first, last, std::uint8_t{'\n'});
        if (lf != last) {
            std::size_t length = static_cast<std::size_t>(lf - (m_buffer.data() + m_begin));
            if (length > m_maxLineBytes) {
                throw ProtocolError("line too long");
            }
            std::string line(reinterpret_cast<const char*>(m_buffer.data() + m_begin), length);
            m_begin += length + 1;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        scanned = m_end - m_begin;
        if (scanned > m_maxLineBytes) {
            throw ProtocolError("line too long");
        }
        if (!fill()) {
            throw ConnectionClosed("connection closed inside a line");
        }
    }
}

void LineReader::readExact(std::size_t n, std::vector<std::uint8_t>& out) {
    // The buffer grows with the bytes that actually arrive, never ahead of them by more
    // than one step: a peer that announces 64 MiB and sends two bytes costs two bytes.
    constexpr std::size_t GrowthStep = 1024 * 1024;
    out.clear();
    std::size_t have = std::min(n, m_end - m_begin);
    out.resize(have);
    if (have > 0) {
        std::memcpy(out.data(), m_buffer.data() + m_begin, have);
        m_begin += have;
    }
    while (have < n) {
        if (out.size() == have) {
            out.resize(have + std::min(GrowthStep, n - have));
        }
        const std::size_t got = m_source.readSome(out.data() + have, out.size() - have);
        if (got == 0) {
            throw ConnectionClosed("connection closed inside a payload");
        }
        have += got;
    }
}

} // namespace tavelcast
