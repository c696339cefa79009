#include "app/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace tavelcast {

namespace {

std::string temporaryNameFor(const std::string& path) {
    static std::atomic<std::uint64_t> counter{0};
    // A short name of its own in the same folder, so that the longest file name that can
    // be stored can also be written, and leftovers of a crash are easy to recognise.
    const auto slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    return folder + TemporaryFilePrefix + std::to_string(::getpid()) + "-" +
           std::to_string(++counter);
}

[[noreturn]] void fail(int error, const std::string& path) {
    throw std::system_error(error, std::generic_category(), path);
}

} // namespace

void writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         bool syncToDisk) {
    const std::string temporary = temporaryNameFor(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(errno, path);
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            fail(error, path);
        }
        written += static_cast<std::size_t>(n);
    }
    if (syncToDisk && ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        fail(error, path);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail(error, path);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail(error, path);
    }
}

void writeFileAtomically(const std::string& path, const std::string& text, bool syncToDisk) {
    writeFileAtomically(path,
                        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                        syncToDisk);
}

std::size_t removeLeftoverTemporaryFiles(const std::string& folder) {
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(TemporaryFilePrefix, 0) == 0 && entry.is_regular_file(ec)) {
            if (std::filesystem::remove(entry.path(), ec)) {
                ++removed;
            }
        }
    }
    return removed;
}

} // namespace tavelcast
