// Line and count framing over arbitrary bytes cut into arbitrary pieces. Besides looking
// for crashes, every result of LineReader and parseCountLine is checked against a plain
// reference reading of the same bytes.
//
// Input: byte 0 = n (0..7), then n schedule bytes (piece sizes), then the stream.

#include "FuzzChunkedSource.h"
#include "net/LineReader.h"
#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace tavelcast;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "framing invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// Reference count parser: decimal digits only, 1 to 12 of them, value within the bound.
std::optional<std::size_t> referenceCount(std::string_view line) {
    if (line.empty() || line.size() > 12) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const char c : line) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > framing::MaxPayloadBytes) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(value);
}

enum class Outcome { Line, TooLong, Closed };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t scheduleLength = data[0] % 8;
    if (size < 1 + scheduleLength) {
        return 0;
    }
    const std::span<const std::uint8_t> schedule(data + 1, scheduleLength);
    const std::span<const std::uint8_t> stream(data + 1 + scheduleLength,
                                               size - 1 - scheduleLength);
    const std::string_view text(reinterpret_cast<const char*>(stream.data()), stream.size());

    fuzzing::FuzzChunkedSource source(stream, schedule);
    LineReader reader(source, framing::MaxLineBytes);
    std::size_t pos = 0; // where the reference reading stands

    for (int round = 0; round < 100000; ++round) {
        // What the reference expects of the next readLine.
        const std::size_t lf = text.find('\n', pos);
        const std::size_t remaining = text.size() - pos;
        Outcome expected;
        if (lf != std::string_view::npos && lf - pos <= framing::MaxLineBytes) {
            expected = Outcome::Line;
        } else if (remaining > framing::MaxLineBytes) {
            expected = Outcome::TooLong;
        } else {
            expected = Outcome::Closed;
        }

        std::string line;
        try {
            line = reader.readLine();
        } catch (const ProtocolError&) {
            check(expected == Outcome::TooLong, "unexpected 'line too long'");
            return 0;
        } catch (const ConnectionClosed&) {
            check(expected == Outcome::Closed, "unexpected close inside a line");
            return 0;
        }
        check(expected == Outcome::Line, "a line where the reference has none");
        std::string_view want = text.substr(pos, lf - pos);
        if (!want.empty() && want.back() == '\r') {
            want.remove_suffix(1);
        }
        check(line == want, "line differs from the reference");
        pos = lf + 1;

        const auto count = parseCountLine(line);
        check(count == referenceCount(line), "count differs from the reference");
        if (count) {
            std::vector<std::uint8_t> payload;
            try {
                reader.readExact(*count, payload);
            } catch (const ConnectionClosed&) {
                check(text.size() - pos < *count, "close reported inside a complete payload");
                return 0;
            }
            check(text.size() - pos >= *count, "payload longer than the stream");
            check(payload.size() == *count, "payload of the wrong size");
            check(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()) ==
                      text.substr(pos, *count),
                  "payload differs from the stream");
            pos += *count;
        }
        check(reader.buffered() <= text.size() - pos, "more bytes buffered than remain");
    }
    return 0;
}
