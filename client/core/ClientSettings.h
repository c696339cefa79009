#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavelcast {

// What Tavelseats.ini, beside the executable, says. Section "IniSettings":
//   SIP            the teacher's PC: an IPv4 address or a host name (required)
//   SPort          the teacher's port, 1 to 65535 (required)
//   SnapshotWidth  width of the snapshots sent to the teacher, in pixels; empty or 0 for
//                  the full screen. Never enlarges; the height follows the aspect.
//   BindIP         the local IPv4 address to connect from (a PC with several networks);
//                  empty for the system's choice
//   RestartCommand, ShutDownCommand  shell commands for the teacher's Restart and
//                  ShutDown (defaults "systemctl reboot" and "systemctl poweroff")
struct ClientSettings {
    std::string host;
    std::uint16_t port = 0;
    int snapshotWidth = 0;   // 0: full size
    std::string bindAddress; // empty: any
    std::string restartCommand = "systemctl reboot";
    std::string shutDownCommand = "systemctl poweroff";
};

struct ClientSettingsResult {
    std::optional<ClientSettings> settings;
    std::string error; // why there are no settings: a sentence for the administrator
};

inline constexpr const char* ClientSettingsFileName = "Tavelseats.ini";

// Reads the settings file at iniPath afresh. A missing file, a missing or invalid SIP or
// SPort, or an invalid SnapshotWidth or BindIP gives no settings and an error naming the file and
// what to put there.
ClientSettingsResult loadClientSettings(const std::string& iniPath);

} // namespace tavelcast
