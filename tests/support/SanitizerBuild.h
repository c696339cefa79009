#pragma once

#include <cstdlib>
#include <string_view>

// Whether this test binary runs under AddressSanitizer or ThreadSanitizer. The heaviest
// fault tests (thousands of connections, twenty restarts of the real program) run in the
// plain build only; under a sanitizer they skip with a message unless
// TAVELCAST_HEAVY_FAULTS=1 asks for them.
namespace tavelcast::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool SanitizerBuild = true;
#else
inline constexpr bool SanitizerBuild = false;
#endif
#else
inline constexpr bool SanitizerBuild = false;
#endif

inline bool skipHeavyFaults() {
    const char* wanted = std::getenv("TAVELCAST_HEAVY_FAULTS");
    return SanitizerBuild && (wanted == nullptr || std::string_view(wanted) != "1");
}

} // namespace tavelcast::testing
