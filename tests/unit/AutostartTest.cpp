#include "app/Autostart.h"
#include "TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace tavelcast;
using namespace tavelcast::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> folderListing(const fs::path& folder) {
    std::vector<std::string> names;
    if (fs::exists(folder)) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(Autostart, FolderFollowsTheBaseDirectoryRules) {
    struct Case {
        const char* xdg;
        const char* home;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/cfg", "/home/t", "/cfg/autostart/"},
        {"/cfg/", "/home/t", "/cfg/autostart/"},
        {nullptr, "/home/t", "/home/t/.config/autostart/"},
        {"", "/home/t", "/home/t/.config/autostart/"},
        {"relative/cfg", "/home/t", "/home/t/.config/autostart/"},
        {nullptr, nullptr, ""},
        {"relative", "also-relative", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Autostart::folderFrom(c.xdg, c.home), c.expected)
            << (c.xdg ? c.xdg : "(unset)") << " / " << (c.home ? c.home : "(unset)");
    }
}

TEST(Autostart, DefaultFolderReadsTheEnvironment) {
    TempDir config;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const std::string folder = Autostart::defaultFolder();
    if (old) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(folder, config.dir() + "autostart/");
}

TEST(Autostart, ToggleCreatesTheEntryWithTheFixedTargetAndTheFolder) {
    TempDir config;
    const fs::path folder = config.path() / "autostart"; // does not exist yet
    Autostart autostart(folder.string(), "/opt/class room/");
    EXPECT_EQ(autostart.StartupLinkPath(), (folder / "Tavelcast.desktop").string());
    EXPECT_FALSE(autostart.exists());

    EXPECT_TRUE(autostart.toggle());
    EXPECT_TRUE(autostart.exists());
    // Whatever this process is called, the entry starts AppDir + "Tavelcast" in AppDir; the
    // space in the folder makes the Exec argument quoted.
    EXPECT_EQ(readFile(folder / "Tavelcast.desktop"), "[Desktop Entry]\n"
                                                      "Type=Application\n"
                                                      "Name=Tavelcast\n"
                                                      "Comment=Tavelcast\n"
                                                      "Exec=\"/opt/class room/Tavelcast\"\n"
                                                      "Path=/opt/class room/\n");
    EXPECT_EQ(folderListing(folder), std::vector<std::string>{"Tavelcast.desktop"});
}

TEST(Autostart, ExecEscapesWhatTheDesktopEntryFormatReserves) {
    struct Case {
        std::string appDir;
        std::string exec;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"/opt/tavelcast/", "Exec=/opt/tavelcast/Tavelcast", "Path=/opt/tavelcast/"},
        {"/opt/100%/", "Exec=/opt/100%%/Tavelcast", "Path=/opt/100%/"},
        {"/opt/a$b/", "Exec=\"/opt/a\\\\$b/Tavelcast\"", "Path=/opt/a$b/"},
        {"/opt/x\\y/", "Exec=\"/opt/x\\\\\\\\y/Tavelcast\"", "Path=/opt/x\\\\y/"},
        {"/opt/\"q\"/", "Exec=\"/opt/\\\\\"q\\\\\"/Tavelcast\"", "Path=/opt/\"q\"/"},
    };
    for (const auto& c : cases) {
        const std::string text = Autostart::desktopEntry(c.appDir);
        EXPECT_NE(text.find("\n" + c.exec + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\n" + c.path + "\n"), std::string::npos) << text;
    }
}

TEST(Autostart, AHandMadeEntryCountsAndToggleDeletesIt) {
    TempDir config;
    fs::create_directories(config.path() / "autostart");
    writeFile(config.path() / "autostart" / "Tavelcast.desktop", "anything at all");
    Autostart autostart(config.dir() + "autostart", "/opt/tavelcast/");
    EXPECT_TRUE(autostart.exists());
    EXPECT_FALSE(autostart.toggle());
    EXPECT_FALSE(fs::exists(config.path() / "autostart" / "Tavelcast.desktop"));
}

TEST(Autostart, TwoTogglesLeaveTheFolderAsItWas) {
    for (const bool startsWithEntry : {false, true}) {
        SCOPED_TRACE(startsWithEntry ? "entry present" : "entry absent");
        TempDir config;
        const fs::path folder = config.path() / "autostart";
        fs::create_directories(folder);
        writeFile(folder / "other.desktop", "[Desktop Entry]\n");
        if (startsWithEntry) {
            writeFile(folder / "Tavelcast.desktop", "hand made");
        }
        const auto before = folderListing(folder);
        Autostart autostart(folder.string(), "/opt/tavelcast/");
        EXPECT_NE(autostart.toggle(), startsWithEntry);
        EXPECT_EQ(autostart.toggle(), startsWithEntry);
        EXPECT_EQ(folderListing(folder), before);
        EXPECT_EQ(readFile(folder / "other.desktop"), "[Desktop Entry]\n");
    }
}

TEST(Autostart, FailuresAreSilentAndTheStateIsReal) {
    // Cases that fail for any user, root included.
    {
        SCOPED_TRACE("the autostart folder is a file");
        TempDir config;
        writeFile(config.path() / "autostart", "not a folder");
        Autostart autostart(config.dir() + "autostart", "/opt/tavelcast/");
        EXPECT_FALSE(autostart.toggle());
        EXPECT_FALSE(autostart.exists());
        EXPECT_EQ(readFile(config.path() / "autostart"), "not a folder");
    }
    {
        SCOPED_TRACE("a folder stands where the entry goes");
        TempDir config;
        fs::create_directories(config.path() / "autostart" / "Tavelcast.desktop");
        Autostart autostart(config.dir() + "autostart", "/opt/tavelcast/");
        EXPECT_FALSE(autostart.exists());
        EXPECT_FALSE(autostart.toggle());
        EXPECT_TRUE(fs::is_directory(config.path() / "autostart" / "Tavelcast.desktop"));
        EXPECT_EQ(folderListing(config.path() / "autostart"),
                  std::vector<std::string>{"Tavelcast.desktop"}); // no temporary left behind
    }
}

TEST(Autostart, WithoutAFolderTheEntryNeverExists) {
    Autostart autostart("", "/opt/tavelcast/");
    EXPECT_EQ(autostart.StartupLinkPath(), "");
    EXPECT_FALSE(autostart.exists());
    EXPECT_FALSE(autostart.toggle());
}
