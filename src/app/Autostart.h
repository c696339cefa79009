#pragma once

#include <string>

namespace tavelcast {

// The entry that starts Tavelcast when the teacher logs on: a freedesktop autostart file,
// Tavelcast.desktop, in the user's autostart folder. It always names the fixed program
// AppDir + "Tavelcast", not the running executable, and runs it in AppDir.
//
// Nothing here reports a failure: a file that cannot be written or deleted simply stays as
// it was, and exists() always tells the real state.
class Autostart {
public:
    // folder: the autostart folder, with or without a trailing '/'; empty when the user
    // has none (then the entry can never exist). appDir ends in '/'.
    Autostart(std::string folder, std::string appDir);

    // ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/ from the given environment values (either
    // may be null). A relative XDG_CONFIG_HOME is ignored, as the base directory rules say.
    // Empty when neither gives an absolute folder.
    static std::string folderFrom(const char* xdgConfigHome, const char* home);

    // The same, from this process's environment (HOME falls back to the password entry).
    static std::string defaultFolder();

    // The full path of the entry; empty when there is no folder.
    const std::string& StartupLinkPath() const { return m_path; }

    bool exists() const;

    // Creates the entry (and the autostart folder when it is missing) or, when it exists,
    // deletes it. Returns whether the entry exists afterwards.
    bool toggle();

    // The file's text for appDir.
    static std::string desktopEntry(const std::string& appDir);

private:
    void create() const;

    std::string m_appDir;
    std::string m_path;
};

} // namespace tavelcast
