#include "net/ClientRegistry.h"

#include <gtest/gtest.h>

using namespace tavelcast;

namespace {
std::vector<std::string> names(const ClientRegistry& registry) {
    std::vector<std::string> out;
    registry.walk([&](const MemDataRow& row) { out.push_back(row.PCName); });
    return out;
}
} // namespace

TEST(ClientRegistry, OneRowPerHostNameWithAANeverReused) {
    ClientRegistry registry;
    EXPECT_TRUE(registry.appendIfNew("PC01", "10.0.0.1"));
    EXPECT_FALSE(registry.appendIfNew("PC01", "10.0.0.9"));  // same name, other address
    EXPECT_TRUE(registry.appendIfNew("pc01", "10.0.0.2"));   // names match case-sensitively
    EXPECT_TRUE(registry.appendIfNew("PC03", "10.0.0.3"));
    EXPECT_EQ(registry.findByPCName("PC01")->IP, "10.0.0.1");  // keeps the first address
    EXPECT_EQ(registry.findByPCName("PC03")->AA, 3);

    EXPECT_TRUE(registry.deleteFirstByIP("10.0.0.1"));
    EXPECT_TRUE(registry.appendIfNew("PC01", "10.0.0.1"));  // a reconnect gets a new AA
    EXPECT_EQ(registry.findByPCName("PC01")->AA, 4);
}

TEST(ClientRegistry, DeleteRemovesOnlyTheFirstRowWithThatAddress) {
    ClientRegistry registry;
    registry.appendIfNew("A", "10.0.0.1");
    registry.appendIfNew("B", "10.0.0.2");
    registry.appendIfNew("C", "10.0.0.1");
    EXPECT_TRUE(registry.deleteFirstByIP("10.0.0.1"));
    EXPECT_EQ(names(registry), (std::vector<std::string>{"B", "C"}));
    EXPECT_FALSE(registry.deleteFirstByIP("10.0.0.7"));
}

TEST(ClientRegistry, SortIgnoresCaseAndKeepsCreationOrderOfEqualNames) {
    ClientRegistry registry;
    for (const char* name : {"pc10", "PC02", "Beta", "alpha", "PC02x", "ALPHA"}) {
        registry.appendIfNew(name, "10.0.0.1");
    }
    registry.sortByPCName();
    EXPECT_EQ(names(registry),
              (std::vector<std::string>{"alpha", "ALPHA", "Beta", "PC02", "PC02x", "pc10"}));
    registry.appendIfNew("aardvark", "10.0.0.2");  // rows appended after a sort go last
    EXPECT_EQ(names(registry).back(), "aardvark");
}

TEST(ClientRegistry, LogStartsWithMemo1AndOnlyGrows) {
    ClientRegistry registry;
    registry.appendLog("127.0.0.1 Connected");
    registry.appendLog("Disconnected : 127.0.0.1");
    EXPECT_EQ(registry.logLines(), (std::vector<std::string>{"Memo1", "127.0.0.1 Connected",
                                                             "Disconnected : 127.0.0.1"}));
}
