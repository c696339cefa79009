#include "core/AutostartEntry.h"

#include "app/AtomicFile.h"
#include "app/DesktopEntry.h"

#include <filesystem>

namespace tavelcast {

std::string AutostartEntry::desktopEntry(const std::string& executablePath) {
    const std::string folder = std::filesystem::path(executablePath).parent_path().string();
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=Tavelseats\n";
    text += "Comment=Classroom pupil client: connects this PC to the teacher's Tavelcast\n";
    text += "Exec=" + desktopEntryExecValue(executablePath) + "\n";
    text += "Path=" + desktopEntryString(folder) + "\n";
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
