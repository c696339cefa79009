// The disallowed-applications file: slot order, gaps, the list line, and the 101-slot save.

#include "disallow/DisallowedStore.h"
#include "TempDir.h"
#include "app/IniSettings.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavelcast {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Names = std::vector<std::string>;

std::string names101(const std::string& stem, int count) {
    std::string text = "[IniSettings]\n";
    for (int i = 0; i < count; ++i) {
        text += DisallowedStore::slotKey(i) + "=" + stem + std::to_string(i) + ".exe\n";
    }
    return text;
}

struct ReadCase {
    const char* name;
    std::optional<std::string> file; // nullopt: no file at all
    Names list;                      // what the editor shows
    std::string line;                // what a pupil receives
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c) {
    return out << c.name;
}

class StoreReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(StoreReads, LoadAndBuild) {
    const ReadCase& c = GetParam();
    TempDir dir;
    DisallowedStore store(dir.dir());
    if (c.file) {
        writeFile(store.path(), *c.file);
    }
    EXPECT_EQ(store.LoadDisallowedList(), c.list);
    EXPECT_EQ(store.BuildDisallowedList(), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Files, StoreReads,
    ::testing::Values(
        ReadCase{"NoFile", std::nullopt, {}, ""}, ReadCase{"EmptyFile", "", {}, ""},
        ReadCase{"SlotsZeroAndTwoWithOneEmpty",
                 "[IniSettings]\nApplicationProcess0=iexplore.exe\nApplicationProcess1=\n"
                 "ApplicationProcess2=notepad.exe\n",
                 {"iexplore.exe", "notepad.exe"},
                 ";iexplore.exe;notepad.exe"},
        ReadCase{"OnlyFiveCharacterNameIsShownButNotSent",
                 "[IniSettings]\nApplicationProcess0=a.exe\n",
                 {"a.exe"},
                 ""},
        ReadCase{"SixCharactersAreSent",
                 "[IniSettings]\nApplicationProcess0=a.exe\nApplicationProcess1=ab.exe\n",
                 {"a.exe", "ab.exe"},
                 ";ab.exe"},
        ReadCase{"KeyAndSectionCaseIgnored",
                 "[inisettings]\r\napplicationprocess0=calc.exe\r\n"
                 "APPLICATIONPROCESS1=mspaint.exe\r\n",
                 {"calc.exe", "mspaint.exe"},
                 ";calc.exe;mspaint.exe"},
        ReadCase{"SlotOrderNotFileOrder",
                 "[IniSettings]\nApplicationProcess7=second.exe\nApplicationProcess3=first.exe\n",
                 {"first.exe", "second.exe"},
                 ";first.exe;second.exe"},
        ReadCase{"Slot100CountsSlot101AndOtherSectionsDoNot",
                 "[Other]\nApplicationProcess0=other.exe\n[IniSettings]\n"
                 "ApplicationProcess100=last.exe\nApplicationProcess101=beyond.exe\n"
                 "ApplicationProcess01=padded.exe\n",
                 {"last.exe"},
                 ";last.exe"}),
    [](const auto& info) { return std::string(info.param.name); });

// The full file's expectations are computed rather than spelled out.
TEST(DisallowedStore, AllHundredAndOneSlotsAreReadInOrder) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    writeFile(store.path(), names101("proc", 101));
    const Names list = store.LoadDisallowedList();
    ASSERT_EQ(list.size(), 101u);
    std::string line;
    for (int i = 0; i < 101; ++i) {
        EXPECT_EQ(list[static_cast<std::size_t>(i)], "proc" + std::to_string(i) + ".exe");
        line += ";proc" + std::to_string(i) + ".exe";
    }
    EXPECT_EQ(store.BuildDisallowedList(), line);
}

struct SaveCase {
    const char* name;
    Names saved;
    Names loaded;
};

std::ostream& operator<<(std::ostream& out, const SaveCase& c) {
    return out << c.name;
}

Names numbered(int count) {
    Names names;
    for (int i = 0; i < count; ++i) {
        names.push_back("tool" + std::to_string(i) + ".exe");
    }
    return names;
}

class StoreSaves : public ::testing::TestWithParam<SaveCase> {};

TEST_P(StoreSaves, WritesEveryKeyOnceAndLoadsBack) {
    const SaveCase& c = GetParam();
    TempDir dir;
    DisallowedStore store(dir.dir());
    // An older, longer list must be overwritten completely.
    writeFile(store.path(), names101("old", 101));
    store.SaveDisallowedList(c.saved);

    EXPECT_EQ(store.LoadDisallowedList(), c.loaded);

    const std::string text = readFile(store.path());
    for (int slot = 0; slot < 101; ++slot) {
        const auto index = static_cast<std::size_t>(slot);
        const std::string expected = DisallowedStore::slotKey(slot) + "=" +
                                     (index < c.loaded.size() ? c.loaded[index] : "") + "\n";
        EXPECT_NE(text.find(expected), std::string::npos) << "missing " << expected;
        // Exactly one line per key.
        const std::string key = "\n" + DisallowedStore::slotKey(slot) + "=";
        EXPECT_EQ(text.find(key), text.rfind(key)) << key;
    }
    EXPECT_EQ(text.find("ApplicationProcess101"), std::string::npos);
    EXPECT_EQ(text.find("old"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, StoreSaves,
    ::testing::Values(SaveCase{"Empty", {}, {}},
                      SaveCase{"RoundTripAsTyped",
                               {"iexplore.exe", "NOTEPAD.EXE", "a.exe", "tool.exe.bak", "Ünï.exe"},
                               {"iexplore.exe", "NOTEPAD.EXE", "a.exe", "tool.exe.bak", "Ünï.exe"}},
                      SaveCase{"Exactly101", numbered(101), numbered(101)},
                      SaveCase{"The102ndIsDropped", numbered(102), numbered(101)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DisallowedStore, SaveWritesEmptySlotsAsKeyEqualsInTheIniSettingsSection) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    store.SaveDisallowedList({"iexplore.exe"});
    const std::string text = readFile(store.path());
    EXPECT_EQ(text.rfind("[IniSettings]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nApplicationProcess0=iexplore.exe\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nApplicationProcess1=\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nApplicationProcess100=\n"), std::string::npos) << text;
    // The generic reader agrees, key by key.
    EXPECT_EQ(ReadIniSetting(store.path(), "ApplicationProcess0"), "iexplore.exe");
    EXPECT_EQ(ReadIniSetting(store.path(), "applicationprocess1"), "");
}

TEST(DisallowedStore, SaveReplacesTheFileByRenameAndLeavesNoTemporaryFile) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    store.SaveDisallowedList({"first.exe"});
    // A reader holding the old file keeps the old bytes: the file was replaced, not
    // rewritten in place.
    std::ifstream held(store.path(), std::ios::binary);
    store.SaveDisallowedList({"second.exe"});
    const std::string oldText((std::istreambuf_iterator<char>(held)),
                              std::istreambuf_iterator<char>());
    EXPECT_NE(oldText.find("first.exe"), std::string::npos);
    EXPECT_EQ(store.BuildDisallowedList(), ";second.exe");

    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST(DisallowedStore, SaveKeepsOtherKeysAndMatchesExistingSlotsWithoutRegardToCase) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    writeFile(store.path(), "[inisettings]\napplicationprocess0=old.exe\nNote=kept\n"
                            "[Other]\nX=1\n");
    store.SaveDisallowedList({"new.exe"});
    const std::string text = readFile(store.path());
    EXPECT_EQ(text.find("old.exe"), std::string::npos) << text;
    EXPECT_EQ(ReadIniSetting(store.path(), "Note"), "kept");
    EXPECT_NE(text.find("[Other]"), std::string::npos);
    EXPECT_EQ(store.LoadDisallowedList(), Names{"new.exe"});
}

TEST(DisallowedStore, NameWithALineBreakIsRefusedAndTheFileKept) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    store.SaveDisallowedList({"kept.exe"});
    const std::string before = readFile(store.path());
    for (const std::string& name : {std::string("x.exe\nApplicationProcess5=evil.exe"),
                                    std::string("y.exe\r"), std::string("z\0.exe", 6)}) {
        EXPECT_THROW(store.SaveDisallowedList({"first.exe", name}), std::invalid_argument) << name;
        EXPECT_EQ(readFile(store.path()), before);
    }
    // Names after the 101st are dropped, not checked.
    Names many(101, "fine.exe");
    many.push_back("bad\n.exe");
    EXPECT_NO_THROW(store.SaveDisallowedList(many));
}

TEST(DisallowedStore, EveryCallReadsTheFileAfresh) {
    TempDir dir;
    DisallowedStore store(dir.dir());
    EXPECT_EQ(store.BuildDisallowedList(), "");
    writeFile(store.path(), "[IniSettings]\nApplicationProcess0=game.exe\n");
    EXPECT_EQ(store.BuildDisallowedList(), ";game.exe");
    std::filesystem::remove(store.path());
    EXPECT_EQ(store.BuildDisallowedList(), "");
    EXPECT_TRUE(store.LoadDisallowedList().empty());
}

TEST(DisallowedStore, FailedSaveThrowsTheIniWriteError) {
    TempDir dir;
    DisallowedStore missingFolder(dir.dir() + "no-such-folder/");
    EXPECT_THROW(missingFolder.SaveDisallowedList({"x.exe"}), IniWriteError);
    try {
        missingFolder.SaveDisallowedList({"x.exe"});
    } catch (const IniWriteError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + missingFolder.path());
    }
    // Something that is not a readable file stays as it is.
    DisallowedStore store(dir.dir());
    std::filesystem::create_directory(store.path());
    EXPECT_THROW(store.SaveDisallowedList({"x.exe"}), IniWriteError);
    EXPECT_TRUE(std::filesystem::is_directory(store.path()));
    EXPECT_EQ(store.BuildDisallowedList(), "");
}

} // namespace
} // namespace tavelcast
