#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/mount.h>

namespace tavelcast::testing {

// A mount made by a test over one of its own folders, undone when it goes out of scope.
// Mounting needs root (CAP_SYS_ADMIN); when the system refuses, `refused()` says why and
// the test skips.
class MountedFolder {
public:
    // A tmpfs of `bytes` bytes over dir.
    static MountedFolder tinyTmpfs(const std::string& dir, std::size_t bytes) {
        MountedFolder m(dir);
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            m.m_refused = std::string("mount -t tmpfs refused: ") + std::strerror(errno);
        } else {
            m.m_mounted = true;
        }
        return m;
    }

    // dir bound onto itself, ready to be switched between read-only and writable.
    static MountedFolder bindToItself(const std::string& dir) {
        MountedFolder m(dir);
        if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            m.m_refused = std::string("bind mount refused: ") + std::strerror(errno);
        } else {
            m.m_mounted = true;
        }
        return m;
    }

    // Remounts the folder read-only or writable; false when the system refuses.
    bool setReadOnly(bool readOnly) {
        const unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
        return ::mount(nullptr, m_dir.c_str(), nullptr, flags, nullptr) == 0;
    }

    MountedFolder(MountedFolder&& other) noexcept
        : m_dir(std::move(other.m_dir)), m_mounted(other.m_mounted),
          m_refused(std::move(other.m_refused)) {
        other.m_mounted = false;
    }
    MountedFolder(const MountedFolder&) = delete;
    MountedFolder& operator=(const MountedFolder&) = delete;
    MountedFolder& operator=(MountedFolder&&) = delete;

    ~MountedFolder() {
        if (m_mounted) {
            ::umount2(m_dir.c_str(), MNT_DETACH);
        }
    }

    bool mounted() const { return m_mounted; }
    const std::string& refused() const { return m_refused; }

private:
    explicit MountedFolder(std::string dir) : m_dir(std::move(dir)) {}

    std::string m_dir;
    bool m_mounted = false;
    std::string m_refused;
};

} // namespace tavelcast::testing
