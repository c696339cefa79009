#pragma once

#include "net/ByteSource.h"
#include "net/ClientChannel.h"
#include "net/LineReader.h"
#include "net/ProtocolWords.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tavelcast::testing {

// Bytes from a string, handed out at most maxChunk at a time (1 = a byte at a time).
class StringSource : public ByteSource {
public:
    explicit StringSource(std::string bytes, std::size_t maxChunk = 1 << 20)
        : m_bytes(std::move(bytes)), m_maxChunk(maxChunk) {}
    std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) override {
        const std::size_t n = std::min({capacity, m_maxChunk, m_bytes.size() - m_offset});
        std::memcpy(buffer, m_bytes.data() + m_offset, n);
        m_offset += n;
        return n;
    }

private:
    std::string m_bytes;
    std::size_t m_maxChunk;
    std::size_t m_offset = 0;
};

// A client connection held in memory: reads come from a script of bytes, writes are
// collected exactly as they would go on the wire.
class MemoryChannel : public ClientChannel {
public:
    MemoryChannel(std::string peer, std::string incoming, std::size_t maxChunk = 1 << 20)
        : m_peer(std::move(peer)), m_source(std::move(incoming), maxChunk),
          m_reader(m_source, framing::MaxLineBytes) {}

    const std::string& peerAddress() const override { return m_peer; }
    std::string readLine() override { return m_reader.readLine(); }
    void readExact(std::size_t n, std::vector<std::uint8_t>& out) override {
        m_reader.readExact(n, out);
    }
    void writeUnit(std::span<const std::string_view> lines,
                   std::span<const std::uint8_t> payload = {}) override {
        for (const auto line : lines) {
            written.append(line);
            written.append("\r\n");
        }
        written.append(reinterpret_cast<const char*>(payload.data()), payload.size());
        ++units;
    }

    std::string written;
    int units = 0;

private:
    std::string m_peer;
    StringSource m_source;
    LineReader m_reader;
};

} // namespace tavelcast::testing
