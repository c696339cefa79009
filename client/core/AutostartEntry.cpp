#include "core/AutostartEntry.h"

#include "app/AtomicFile.h"

#include <filesystem>
#include <string_view>

namespace tavelcast {

namespace {

// One Exec argument, quoted as the desktop entry format asks, then string-escaped.
std::string execArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\') {
            escaped += "\\\\";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string escapeString(std::string_view value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

std::string AutostartEntry::desktopEntry(const std::string& executablePath) {
    const std::string folder = std::filesystem::path(executablePath).parent_path().string();
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=Tavelseats\n";
    text += "Comment=Classroom pupil client: connects this PC to the teacher's Tavelcast\n";
    text += "Exec=" + execArgument(executablePath) + "\n";
    text += "Path=" + escapeString(folder) + "\n";
    text += "Terminal=false\n";
    text += "NoDisplay=true\n";
    text += "X-GNOME-Autostart-enabled=true\n";
    return text;
}

std::string AutostartEntry::install(const std::string& folder, const std::string& executablePath) {
    std::filesystem::create_directories(folder);
    const std::string path = (std::filesystem::path(folder) / "Tavelseats.desktop").string();
    writeFileAtomically(path, desktopEntry(executablePath));
    return path;
}

} // namespace tavelcast
