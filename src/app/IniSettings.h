#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavelcast {

// The section every settings file of Tavelcast uses.
inline constexpr const char* IniSection = "IniSettings";

// Values are read up to this many characters; a longer value comes back cut.
inline constexpr std::size_t MaxIniValueChars = 2047;

// Raised when an INI file cannot be written; the message is "Unable to write to <path>".
class IniWriteError : public std::runtime_error {
public:
    explicit IniWriteError(const std::string& path)
        : std::runtime_error("Unable to write to " + path) {}
};

// Reads key from section "IniSettings" of the INI file at the full path file. A missing
// file, section or key reads as "". Section and key names match regardless of case.
// Every call reads the file afresh.
std::string ReadIniSetting(const std::string& file, const std::string& key);

// Stores key=value in section "IniSettings", creating the file and the section when
// missing and keeping every other key. An empty value is written as "key=". The file is
// replaced atomically. Throws IniWriteError on failure.
void WriteIniSetting(const std::string& file, const std::string& key, const std::string& value);

// Stores several keys in one atomic replacement of the file, in the given order.
void WriteIniSettings(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& values);

} // namespace tavelcast
