#pragma once

#include <string>

namespace tavelcast {

// The XDG autostart entry that starts Tavelseats when the pupil logs on:
// Tavelseats.desktop in ${XDG_CONFIG_HOME:-~/.config}/autostart/, running the executable
// at its present path in its own folder (where Tavelseats.ini is read).
class AutostartEntry {
public:
    // The file's text for the executable at executablePath.
    static std::string desktopEntry(const std::string& executablePath);

    // Writes the entry into folder (created when missing), replacing an older one.
    // Returns the entry's path; throws std::system_error when it cannot be written.
    static std::string install(const std::string& folder, const std::string& executablePath);
};

} // namespace tavelcast
