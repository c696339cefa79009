#include "app/Autostart.h"

#include "app/AtomicFile.h"
#include "app/DesktopEntry.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavelcast {

namespace {

constexpr std::string_view EntryFileName = "Tavelcast.desktop";

void makeFolders(const std::string& folder) {
    // Each parent in turn; a folder that exists already is fine.
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (!part.empty()) {
            ::mkdir(part.c_str(), 0700);
        }
        if (slash == std::string::npos) {
            break;
        }
    }
}

} // namespace

Autostart::Autostart(std::string folder, std::string appDir) : m_appDir(std::move(appDir)) {
    if (!folder.empty()) {
        if (folder.back() != '/') {
            folder += '/';
        }
        m_path = folder + std::string(EntryFileName);
    }
}

std::string Autostart::folderFrom(const char* xdgConfigHome, const char* home) {
    std::string base;
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        base = xdgConfigHome;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return (base == "/" ? std::string() : base) + "/autostart/";
}

std::string Autostart::defaultFolder() {
    const char* home = std::getenv("HOME");
    std::string passwordHome;
    if (home == nullptr || home[0] != '/') {
        if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
            passwordHome = entry->pw_dir;
            home = passwordHome.c_str();
        }
    }
    return folderFrom(std::getenv("XDG_CONFIG_HOME"), home);
}

bool Autostart::exists() const {
    struct stat info {};
    return !m_path.empty() && ::stat(m_path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string Autostart::desktopEntry(const std::string& appDir) {
    std::string text = "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=Tavelcast\n";
    text += "Comment=Tavelcast\n";
    text += "Exec=" + desktopEntryExecValue(appDir + "Tavelcast") + "\n";
    text += "Path=" + desktopEntryString(appDir) + "\n";
    return text;
}

void Autostart::create() const {
    makeFolders(m_path.substr(0, m_path.find_last_of('/')));
    writeFileAtomically(m_path, desktopEntry(m_appDir));
}

bool Autostart::toggle() {
    if (!m_path.empty()) {
        try {
            if (exists()) {
                ::unlink(m_path.c_str());
            } else {
                create();
            }
        } catch (...) {
            // Silent by design: the caller shows exists(), the real state.
        }
    }
    return exists();
}

} // namespace tavelcast
