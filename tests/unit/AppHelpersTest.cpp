#include "app/AppTitle.h"
#include "app/StrToInt.h"

#include <gtest/gtest.h>

using namespace tavelcast;

TEST(AppTitle, NameUpToFirstDotWithLaterLettersInLowerCase) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/tavelcast/Tavelcast", "Tavelcast"},
        {"/opt/x/TAVELCAST.bin", "Tavelcast"},
        {"Tavelcast.v2.exe", "Tavelcast"},
        {"tavelCast", "tavelcast"},
    };
    for (const auto& [path, title] : cases) {
        EXPECT_EQ(applicationTitle(path), title) << path;
    }
    EXPECT_EQ(applicationDir("/opt/tavelcast/Tavelcast"), "/opt/tavelcast/");
}

TEST(StrToInt, DecimalIntegersOnly) {
    EXPECT_EQ(StrToInt("47123"), 47123);
    EXPECT_EQ(StrToInt("70000"), 70000);
    EXPECT_EQ(StrToInt("-5"), -5);
    EXPECT_EQ(StrToInt("  80"), 80);
    for (const char* bad : {"", "abc", "12a", "1 2", "99999999999", "0x10", "-"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ConvertError& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string("'") + bad + "' is not a valid integer value");
        }
    }
}
