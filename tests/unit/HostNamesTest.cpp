#include "FakeResolver.h"
#include "net/NameResolver.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using tavelcast::testing::FakeResolver;

TEST(HostNames, SafeFileNamesOnly) {
    for (const char* good : {"PC07", "pc-07.school.lan", "localhost", "a"}) {
        EXPECT_TRUE(isSafeHostName(good)) << good;
    }
    const std::string bad[] = {"", ".", "..", "../etc/passwd", "a/b", "a\\b", "tab\there",
                               std::string("nul\0x", 5), std::string(252, 'a')};
    for (const auto& name : bad) {
        EXPECT_FALSE(isSafeHostName(name)) << name;
    }
    EXPECT_TRUE(isSafeHostName(std::string(251, 'a')));
}

TEST(HostNames, NameWhenThereIsOneAddressOtherwise) {
    auto resolver = std::make_shared<FakeResolver>(
        std::map<std::string, std::string>{{"10.0.0.7", "PC07"}, {"10.0.0.8", "../../evil"}});
    HostNames hostNames(resolver);
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.7"), "PC07");
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.9"), "10.0.0.9");
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.8"), "10.0.0.8");
}

TEST(HostNames, AnswersAreCachedForTheirTimeToLive) {
    auto resolver = std::make_shared<FakeResolver>(std::map<std::string, std::string>{{"10.0.0.7", "PC07"}});
    auto now = std::chrono::steady_clock::time_point{};
    HostNames hostNames(resolver, std::chrono::seconds(300), std::chrono::seconds(30),
                        [&] { return now; });
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.7"), "PC07");
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(resolver->lookups, 2);
    resolver->set("10.0.0.1", "PC01");
    now += std::chrono::seconds(29);
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.7"), "PC07");
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(resolver->lookups, 2);
    now += std::chrono::seconds(2);  // the miss has expired, the name has not
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.1"), "PC01");
    EXPECT_EQ(hostNames.hostNameFor("10.0.0.7"), "PC07");
    EXPECT_EQ(resolver->lookups, 3);
}

TEST(HostNames, SystemResolverNamesLoopback) {
    GetnameinfoResolver resolver;
    EXPECT_TRUE(resolver.reverseLookup("127.0.0.1").has_value());
    EXPECT_FALSE(resolver.reverseLookup("not an address").has_value());
    // Other loopback addresses are looked up in the hosts file only, never in DNS.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(resolver.reverseLookup("127.0.0.250").has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}
