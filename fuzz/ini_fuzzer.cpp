// The INI readers on arbitrary file contents: ReadIniSetting (Options.ini) and the
// disallowed-applications store (DisallowedApplications.ini). Besides crashes, it checks
// that the store's two readings of one file agree, that a save of what was loaded loads
// back the same list, and that writing one setting keeps the others.

#include "app/IniSettings.h"
#include "disallow/DisallowedStore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tavelcast;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "INI invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// The application folder, made once per fuzzing process and removed at its end.
class AppFolder {
public:
    AppFolder() {
        const char* shm = "/dev/shm";
        const std::filesystem::path base = std::filesystem::is_directory(shm)
                                               ? std::filesystem::path(shm)
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "tavelcast-fuzz-ini-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("mkdtemp");
        }
        m_path = pattern;
    }
    ~AppFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string dir() const { return m_path.string() + "/"; }

private:
    std::filesystem::path m_path;
};

AppFolder& appFolder() {
    static AppFolder folder;
    return folder;
}

void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    check(static_cast<bool>(out), "cannot write the test file");
}

std::string joinSent(const std::vector<std::string>& names) {
    std::string line;
    for (const auto& name : names) {
        if (name.size() > DisallowedStore::MinSentNameLength) {
            line += ';';
            line += name;
        }
    }
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string dir = appFolder().dir();
    const std::string options = dir + "Options.ini";
    DisallowedStore store(dir);

    // Options.ini: the settings read at start-up, then one written back.
    writeBytes(options, data, size);
    const std::string address = ReadIniSetting(options, "SIP");
    const std::string port = ReadIniSetting(options, "SPort");
    check(address.size() <= MaxIniValueChars && port.size() <= MaxIniValueChars,
          "a value longer than the read limit");
    bool written = true;
    try {
        WriteIniSetting(options, "SIP", "127.0.0.1");
    } catch (const IniWriteError&) {
        written = false;
    }
    if (written) {
        check(ReadIniSetting(options, "SIP") == "127.0.0.1", "written setting not read back");
        check(ReadIniSetting(options, "SPort") == port, "writing SIP changed SPort");
    }

    // DisallowedApplications.ini: the list and the list line from the same file.
    writeBytes(store.path(), data, size);
    const std::vector<std::string> names = store.LoadDisallowedList();
    check(names.size() <= static_cast<std::size_t>(DisallowedStore::SlotCount),
          "more names than slots");
    for (const auto& name : names) {
        check(!name.empty() && name.size() <= MaxIniValueChars, "a name of impossible length");
    }
    check(store.BuildDisallowedList() == joinSent(names), "list line and list disagree");

    // What the editor does: save the list it loaded, then load it again.
    bool saved = true;
    try {
        store.SaveDisallowedList(names);
    } catch (const std::invalid_argument&) {
        saved = false; // a name with a control character is refused, the file kept
    } catch (const IniWriteError&) {
        saved = false;
    }
    if (saved) {
        check(store.LoadDisallowedList() == names, "a saved list loads back different");
    }
    return 0;
}
