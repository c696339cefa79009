#include "core/SeatsLog.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace tavelcast {

void seatsLog(const std::string& message) {
    static std::mutex mutex;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s Tavelseats: %s\n", stamp, message.c_str());
    std::fflush(stderr);
}

} // namespace tavelcast
