#include "TempDir.h"
#include "app/IniSettings.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using namespace tavelcast::testing;

TEST(IniSettings, MissingFileSectionOrKeyReadsEmpty) {
    TempDir dir;
    const std::string file = dir.dir() + "Options.ini";
    EXPECT_EQ(ReadIniSetting(file, "SIP"), "");
    writeFile(file, "[Other]\nSIP=1.2.3.4\n");
    EXPECT_EQ(ReadIniSetting(file, "SIP"), "");
    writeFile(file, "[IniSettings]\nSPort=5000\n");
    EXPECT_EQ(ReadIniSetting(file, "SIP"), "");
    EXPECT_EQ(ReadIniSetting(file, "SPort"), "5000");
}

TEST(IniSettings, SectionAndKeyMatchRegardlessOfCase) {
    TempDir dir;
    const std::string file = dir.dir() + "Options.ini";
    writeFile(file, "[INISETTINGS]\nsip=10.0.0.5\r\nSPORT=6000\r\n");
    EXPECT_EQ(ReadIniSetting(file, "SIP"), "10.0.0.5");
    EXPECT_EQ(ReadIniSetting(file, "SPort"), "6000");

    WriteIniSetting(file, "Sip", "10.0.0.6");
    EXPECT_EQ(ReadIniSetting(file, "sIP"), "10.0.0.6");
    // Replaced in place, not added as a second key.
    const std::string text = readFile(file);
    EXPECT_EQ(text.find("10.0.0.5"), std::string::npos);
    EXPECT_EQ(text.find("10.0.0.6"), text.rfind("10.0.0.6"));
}

TEST(IniSettings, LongValuesAreCutAt2047Characters) {
    TempDir dir;
    const std::string file = dir.dir() + "a.ini";
    WriteIniSetting(file, "Long", std::string(5000, 'v'));
    EXPECT_EQ(ReadIniSetting(file, "Long"), std::string(2047, 'v'));
    WriteIniSetting(file, "Exact", std::string(2047, 'w'));
    EXPECT_EQ(ReadIniSetting(file, "Exact"), std::string(2047, 'w'));
}

TEST(IniSettings, EmptyValueIsWrittenAsKeyEqualsAndKeepsItsKey) {
    TempDir dir;
    const std::string file = dir.dir() + "DisallowedApplications.ini";
    WriteIniSetting(file, "ApplicationProcess0", "notepad.exe");
    WriteIniSetting(file, "ApplicationProcess0", "");
    const std::string text = readFile(file);
    EXPECT_NE(text.find("[IniSettings]"), std::string::npos);
    EXPECT_NE(text.find("ApplicationProcess0=\n"), std::string::npos) << text;
    EXPECT_EQ(ReadIniSetting(file, "ApplicationProcess0"), "");
}

TEST(IniSettings, WriteCreatesFileAndKeepsOtherKeysAndSections) {
    TempDir dir;
    const std::string file = dir.dir() + "Options.ini";
    writeFile(file, "; teacher's note\n[Other]\nX=1\n[IniSettings]\nSPort=5000\n");
    WriteIniSetting(file, "SIP", "192.168.1.10");
    EXPECT_EQ(ReadIniSetting(file, "SIP"), "192.168.1.10");
    EXPECT_EQ(ReadIniSetting(file, "SPort"), "5000");
    EXPECT_NE(readFile(file).find("X=1"), std::string::npos);
    EXPECT_NE(readFile(file).find("SIP=192.168.1.10"), std::string::npos);
}

TEST(IniSettings, FailedWriteSaysUnableToWriteAndLeavesNoTemporaryFile) {
    TempDir dir;
    writeFile(dir.path() / "notafolder", "x");
    const std::string file = dir.dir() + "notafolder/Options.ini";
    try {
        WriteIniSetting(file, "SIP", "1.2.3.4");
        FAIL() << "write into a missing folder succeeded";
    } catch (const IniWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + file);
    }
    // A file that exists but cannot be read as a file is not replaced.
    std::filesystem::create_directory(dir.path() / "Options.ini");
    EXPECT_THROW(WriteIniSetting(dir.dir() + "Options.ini", "SIP", "x"), IniWriteError);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Options.ini"));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2);
}

TEST(IniSettings, EveryCallReadsTheFileAfresh) {
    TempDir dir;
    const std::string file = dir.dir() + "Options.ini";
    WriteIniSetting(file, "SPort", "1");
    EXPECT_EQ(ReadIniSetting(file, "SPort"), "1");
    writeFile(file, "[IniSettings]\nSPort=2\n");
    EXPECT_EQ(ReadIniSetting(file, "SPort"), "2");
}
