#include "MemoryChannel.h"
#include "net/LineReader.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using tavelcast::testing::StringSource;

namespace {

std::vector<std::string> readAllLines(const std::string& bytes, std::size_t chunk) {
    StringSource source(bytes, chunk);
    LineReader reader(source, 16384);
    std::vector<std::string> lines;
    try {
        for (;;) {
            lines.push_back(reader.readLine());
        }
    } catch (const ConnectionClosed&) {
    }
    return lines;
}

} // namespace

TEST(LineReader, CrLfAndBareLfEndLinesAlikeAndOnlyOneCrIsRemoved) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(readAllLines("IDLE\r\nIDLE\nA\r\r\n\r\n\n", chunk),
                  (std::vector<std::string>{"IDLE", "IDLE", "A\r", "", ""}));
    }
}

TEST(LineReader, PartialLineAtCloseIsDropped) {
    EXPECT_EQ(readAllLines("IDLE\nGetSnap", 2), (std::vector<std::string>{"IDLE"}));
}

TEST(LineReader, LineLimitCountsTheCarriageReturn) {
    struct Case {
        std::string line;
        bool accepted;
    };
    const Case cases[] = {
        {std::string(16384, 'a'), true},
        {std::string(16383, 'a') + "\r", true},
        {std::string(16384, 'a') + "\r", false},
        {std::string(16385, 'a'), false},
    };
    for (const auto& c : cases) {
        for (const std::size_t chunk : {std::size_t{1000}, std::size_t{1} << 20}) {
            StringSource source(c.line + "\nIDLE\n", chunk);
            LineReader reader(source, 16384);
            if (c.accepted) {
                const std::string expected =
                    c.line.back() == '\r' ? c.line.substr(0, c.line.size() - 1) : c.line;
                EXPECT_EQ(reader.readLine(), expected);
                EXPECT_EQ(reader.readLine(), "IDLE");
            } else {
                EXPECT_THROW(reader.readLine(), ProtocolError);
            }
        }
    }
}

TEST(LineReader, LongLineWithoutLineFeedFailsBeforeTheStreamEnds) {
    // 16385 bytes and no line feed yet: the reader gives up without waiting for more.
    StringSource source(std::string(16385, 'x'), 4096);
    LineReader reader(source, 16384);
    EXPECT_THROW(reader.readLine(), ProtocolError);
}

TEST(LineReader, ReadExactTakesBufferedBytesThenTheStream) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        std::string payload;
        for (int i = 0; i < 100000; ++i) {
            payload.push_back(static_cast<char>(i * 31));
        }
        StringSource source("GetSnapShot\n100000\r\n" + payload + "IDLE\r\n", chunk);
        LineReader reader(source, 16384);
        EXPECT_EQ(reader.readLine(), "GetSnapShot");
        EXPECT_EQ(reader.readLine(), "100000");
        std::vector<std::uint8_t> out;
        reader.readExact(100000, out);
        EXPECT_EQ(std::string(out.begin(), out.end()), payload);
        EXPECT_EQ(reader.readLine(), "IDLE");
    }
}

TEST(LineReader, ReadExactCutShortByCloseFails) {
    StringSource source("abc", 2);
    LineReader reader(source, 16384);
    std::vector<std::uint8_t> out;
    EXPECT_THROW(reader.readExact(10, out), ConnectionClosed);
}

TEST(CountLine, AcceptsOnlyPlainDecimalCountsUpTo64MiB) {
    struct Case {
        const char* text;
        std::optional<std::size_t> value;
    };
    const Case cases[] = {
        {"0", 0},
        {"48213", 48213},
        {"000012", 12},
        {"67108864", 67108864},
        {"67108865", std::nullopt},
        {"2147483648", std::nullopt},
        {"99999999999", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"-1", std::nullopt},
        {"+5", std::nullopt},
        {"abc", std::nullopt},
        {"12abc", std::nullopt},
        {" 5", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseCountLine(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(LineReader, AClaimedPayloadIsNotAllocatedAheadOfTheBytes) {
    // A peer announces 64 MiB and sends a few bytes: memory follows what arrived.
    StringSource source("abc", 3);
    LineReader reader(source, 16384);
    std::vector<std::uint8_t> out;
    EXPECT_THROW(reader.readExact(64u * 1024 * 1024, out), ConnectionClosed);
    EXPECT_LE(out.capacity(), 1024u * 1024);
}
