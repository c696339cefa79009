// The pure parts of the simulated pupil (tools/tavelseats-sim): its command line, the
// loopback-only rule, source addresses and names, the synthetic payloads and the latency
// percentiles. The simulator is an executable, not a library, so its few pure sources are
// compiled into this test directly.
#include "../../tools/tavelseats-sim/LatencySummary.cpp"
#include "../../tools/tavelseats-sim/SimOptions.cpp"
#include "../../tools/tavelseats-sim/SyntheticPayload.cpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tavelcast::sim {
namespace {

SimOptions parse(std::vector<std::string_view> args) {
    return parseSimOptions(args);
}

TEST(SimOptionsTest, ReadsEveryKindOfOption) {
    const SimOptions o =
        parse({"--port", "4100", "--host", "127.0.3.4", "--clients=12", "--distinct-sources",
               "--payload-size", "150000", "--snapshot-rate", "2.5", "--poll-back-to-back",
               "--duration", "1.5", "--verify-name", "dotted", "--card-size", "320x200"});
    EXPECT_EQ(o.port, 4100);
    EXPECT_EQ(o.host, "127.0.3.4");
    EXPECT_EQ(o.hostAddress, 0x7f000304u);
    EXPECT_EQ(o.clients, 12);
    EXPECT_TRUE(o.distinctSources);
    ASSERT_TRUE(o.payloadSize.has_value());
    EXPECT_EQ(*o.payloadSize, 150000u);
    EXPECT_FALSE(o.usesTestCard());
    EXPECT_DOUBLE_EQ(o.snapshotRate, 2.5);
    EXPECT_TRUE(o.pollBackToBack);
    EXPECT_DOUBLE_EQ(o.duration, 1.5);
    EXPECT_EQ(o.verifyName, VerifyName::Dotted);
    EXPECT_EQ(o.cardWidth, 320);
    EXPECT_EQ(o.cardHeight, 200);
}

TEST(SimOptionsTest, DefaultsToOneLoopbackPupilWithATestCard) {
    const SimOptions o = parse({"--port", "1"});
    EXPECT_EQ(o.hostAddress, 0x7f000001u);
    EXPECT_EQ(o.clients, 1);
    EXPECT_TRUE(o.usesTestCard());
    EXPECT_EQ(o.verifyName, VerifyName::Ip);
    EXPECT_DOUBLE_EQ(o.duration, 0.0);
}

TEST(SimOptionsTest, RefusesBadCommandLines) {
    const std::vector<std::vector<std::string_view>> cases = {
        {},                                        // no port
        {"--port", "0"},                           // port out of range
        {"--port", "65536"},                       //
        {"--port", "80x"},                         // trailing garbage
        {"--port", "1", "--host", "10.0.0.1"},     // not loopback
        {"--port", "1", "--host", "192.168.1.10"}, //
        {"--port", "1", "--host", "128.0.0.1"},    //
        {"--port", "1", "--host", "127.0.0.1.5"},  // not an address
        {"--port", "1", "--host", "example.org"},  //
        {"--port", "1", "--clients", "0"},         //
        {"--port", "1", "--clients", "2001"},      //
        {"--port", "1", "--payload-size", "3"},    // no room for FF D8 .. FF D9
        {"--port", "1", "--payload-size", "4", "--jpeg", "x.jpg"},
        {"--port", "1", "--duration", "3601"},     // over the one-hour cap
        {"--port", "1", "--duration", "-1"},       //
        {"--port", "1", "--snapshot-rate", "nan"}, //
        {"--port", "1", "--card-size", "640"},     //
        {"--port", "1", "--verify-name", "dns"},   //
        {"--port", "1", "--name-prefix", "a b"},   //
        {"--port", "1", "--frobnicate"},           // unknown option
        {"--port"},                                // missing value
        {"--port", "1", "--json=yes"},             // a flag with a value
    };
    for (const auto& args : cases) {
        std::string line;
        for (auto a : args) {
            line += std::string(a) + " ";
        }
        EXPECT_THROW(parseSimOptions(args), UsageError) << line;
    }
}

TEST(SimOptionsTest, DistinctSourcesStayInLoopbackAndNeverRepeat) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "127.0.0.2"},   {1, "127.0.0.3"},     {249, "127.0.0.251"},
        {250, "127.0.1.2"}, {499, "127.0.1.251"}, {1999, "127.0.7.251"},
    };
    for (const auto& [index, dotted] : cases) {
        EXPECT_EQ(dottedAddress(distinctSourceAddress(index)), dotted) << index;
    }
    std::set<std::uint32_t> seen;
    for (int i = 0; i < MaxClients; ++i) {
        const std::uint32_t address = distinctSourceAddress(i);
        EXPECT_TRUE(isLoopback(address));
        const auto last = address & 0xff;
        EXPECT_TRUE(last >= 2 && last <= 251) << dottedAddress(address);
        EXPECT_TRUE(seen.insert(address).second) << dottedAddress(address);
    }
}

TEST(SimOptionsTest, PupilNamesArePaddedToTheLargestIndex) {
    EXPECT_EQ(pupilName("pupil", 0, 3), "pupil01");
    EXPECT_EQ(pupilName("pupil", 9, 10), "pupil10");
    EXPECT_EQ(pupilName("pc", 98, 99), "pc99");
    EXPECT_EQ(pupilName("pc", 0, 100), "pc001");
    EXPECT_EQ(pupilName("pc", 499, 500), "pc500");
}

TEST(LatencySummaryTest, NearestRankPercentiles) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) {
        samples.push_back(i); // unsorted on purpose
    }
    const LatencySummary s = LatencySummary::of(samples);
    EXPECT_EQ(s.count, 100u);
    EXPECT_DOUBLE_EQ(s.p50, 50);
    EXPECT_DOUBLE_EQ(s.p90, 90);
    EXPECT_DOUBLE_EQ(s.p99, 99);
    EXPECT_DOUBLE_EQ(s.max, 100);

    std::vector<double> few = {7.0, 1.0, 3.0};
    const LatencySummary f = LatencySummary::of(few);
    EXPECT_DOUBLE_EQ(f.p50, 3.0);
    EXPECT_DOUBLE_EQ(f.p99, 7.0);

    std::vector<double> none;
    const LatencySummary n = LatencySummary::of(none);
    EXPECT_EQ(n.count, 0u);
    EXPECT_DOUBLE_EQ(n.max, 0.0);
}

TEST(SyntheticPayloadTest, ExactSizeMarkersAndIdentity) {
    for (const std::size_t size :
         {std::size_t{4}, std::size_t{5}, std::size_t{40}, std::size_t{150000}}) {
        const auto bytes = makeSyntheticPayload("pupil07", 3, size);
        ASSERT_EQ(bytes.size(), size);
        EXPECT_TRUE(hasJpegMarkers(bytes)) << size;
    }
    const auto bytes = makeSyntheticPayload("pupil07", 12345, 1000);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("pupil07"), std::string::npos);
    EXPECT_NE(text.find("12345"), std::string::npos);

    EXPECT_EQ(makeSyntheticPayload("pupil07", 3, 5000), makeSyntheticPayload("pupil07", 3, 5000));
    EXPECT_NE(makeSyntheticPayload("pupil07", 3, 5000), makeSyntheticPayload("pupil07", 4, 5000));
    EXPECT_NE(makeSyntheticPayload("pupil07", 3, 5000), makeSyntheticPayload("pupil08", 3, 5000));
    EXPECT_TRUE(makeSyntheticPayload("pupil07", 1, 0).empty());
}

TEST(SyntheticPayloadTest, JpegMarkerCheck) {
    using Bytes = std::vector<std::uint8_t>;
    const std::vector<std::pair<Bytes, bool>> cases = {
        {{0xFF, 0xD8, 0xFF, 0xD9}, true},
        {{0xFF, 0xD8, 0x00, 0x11, 0xFF, 0xD9}, true},
        {{}, false},
        {{0xFF, 0xD9}, false},
        {{0xFF, 0xD8, 0xD9}, false},
        {{0xFF, 0xD8, 0x00, 0xFF, 0xD8}, false},
        {{0xD8, 0xFF, 0xFF, 0xD9}, false},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(hasJpegMarkers(bytes), expected) << bytes.size();
    }
}

} // namespace
} // namespace tavelcast::sim
