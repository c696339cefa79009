#include "app/IniSettings.h"

#include "app/AtomicFile.h"

#include <SimpleIni.h>
#include <cerrno>
#include <sys/stat.h>

namespace tavelcast {

namespace {

enum class LoadResult { Loaded, Missing, Failed };

LoadResult loadIni(CSimpleIniA& ini, const std::string& file) {
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return errno == ENOENT ? LoadResult::Missing : LoadResult::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        // A folder (or a device) where the file should be: it cannot be read, and
        // replacing it would lose whatever it is.
        return LoadResult::Failed;
    }
    return ini.LoadFile(file.c_str()) >= 0 ? LoadResult::Loaded : LoadResult::Failed;
}

} // namespace

std::string ReadIniSetting(const std::string& file, const std::string& key) {
    CSimpleIniA ini(false, false, false);
    if (loadIni(ini, file) != LoadResult::Loaded) {
        return {};
    }
    const char* value = ini.GetValue(IniSection, key.c_str(), nullptr);
    if (value == nullptr) {
        return {};
    }
    std::string result(value);
    if (result.size() > MaxIniValueChars) {
        result.resize(MaxIniValueChars);
    }
    return result;
}

void WriteIniSettings(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& values) {
    CSimpleIniA ini(false, false, false);
    if (loadIni(ini, file) == LoadResult::Failed) {
        // An existing file we cannot read must not be replaced by one holding only our
        // keys: that would lose the teacher's other settings.
        throw IniWriteError(file);
    }
    for (const auto& [key, value] : values) {
        if (ini.SetValue(IniSection, key.c_str(), value.c_str()) < 0) {
            throw IniWriteError(file);
        }
    }
    std::string text;
    if (ini.Save(text, false) < 0) {
        throw IniWriteError(file);
    }
    try {
        writeFileAtomically(file, text, true);
    } catch (const std::system_error&) {
        throw IniWriteError(file);
    }
}

void WriteIniSetting(const std::string& file, const std::string& key, const std::string& value) {
    WriteIniSettings(file, {{key, value}});
}

} // namespace tavelcast
