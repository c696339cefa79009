#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavelcast {

// One client's end of the protocol as the connection handler sees it: line and payload
// reads (only ever from the connection's own thread), and writes that may come from the
// connection's thread and from the UI thread at once.
class ClientChannel {
public:
    virtual ~ClientChannel() = default;

    // The peer's IPv4 address in dotted decimal.
    virtual const std::string& peerAddress() const = 0;

    virtual std::string readLine() = 0;
    virtual void readExact(std::size_t n, std::vector<std::uint8_t>& out) = 0;

    // Writes the lines, each ended by CR LF and each handed to the network in one piece,
    // then the payload in pieces of at most 32768 bytes, all under the connection's write
    // lock so that no other write lands between them.
    virtual void writeUnit(std::span<const std::string_view> lines,
                           std::span<const std::uint8_t> payload = {}) = 0;

    // Like writeUnit, but only when stillWanted() holds at the moment the write lock is
    // taken, so a frame made for a poll cannot follow a word that ended screen sending.
    // Returns whether the unit was written. Channels without concurrent writers may rely on
    // this default.
    virtual bool writeUnitIf(const std::function<bool()>& stillWanted,
                             std::span<const std::string_view> lines,
                             std::span<const std::uint8_t> payload = {}) {
        if (!stillWanted()) {
            return false;
        }
        writeUnit(lines, payload);
        return true;
    }

    void writeLine(std::string_view line) { writeUnit(std::span(&line, 1)); }
    void writeLines(std::initializer_list<std::string_view> lines) {
        writeUnit(std::span(lines.begin(), lines.size()));
    }
};

} // namespace tavelcast
