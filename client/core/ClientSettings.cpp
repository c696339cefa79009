#include "core/ClientSettings.h"

#include "app/IniSettings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <charconv>
#include <sys/stat.h>

namespace tavelcast {

namespace {

std::string trimmed(const std::string& text) {
    const auto notBlank = [](unsigned char c) { return !std::isspace(c); };
    const auto first = std::find_if(text.begin(), text.end(), notBlank);
    const auto last = std::find_if(text.rbegin(), text.rend(), notBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

std::optional<long> decimal(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end) {
        return std::nullopt;
    }
    return value;
}

bool plausibleHost(const std::string& host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
}

} // namespace

ClientSettingsResult loadClientSettings(const std::string& iniPath) {
    const std::string example = " It needs a section [IniSettings] with SIP=<teacher's address> "
                                "and SPort=<teacher's port>.";
    struct stat info {};
    if (::stat(iniPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {std::nullopt, "The settings file " + iniPath + " is missing." + example};
    }
    ClientSettings settings;
    settings.host = trimmed(ReadIniSetting(iniPath, "SIP"));
    if (settings.host.empty()) {
        return {std::nullopt, "The settings file " + iniPath + " has no SIP." + example};
    }
    if (!plausibleHost(settings.host)) {
        return {std::nullopt, "The settings file " + iniPath + " has an invalid SIP '" +
                                  settings.host + "'." + example};
    }
    const std::string portText = trimmed(ReadIniSetting(iniPath, "SPort"));
    if (portText.empty()) {
        return {std::nullopt, "The settings file " + iniPath + " has no SPort." + example};
    }
    const auto port = decimal(portText);
    if (!port || *port < 1 || *port > 65535) {
        return {std::nullopt, "The settings file " + iniPath + " has an invalid SPort '" +
                                  portText + "': it must be a number from 1 to 65535."};
    }
    settings.port = static_cast<std::uint16_t>(*port);
    const std::string widthText = trimmed(ReadIniSetting(iniPath, "SnapshotWidth"));
    if (!widthText.empty()) {
        const auto width = decimal(widthText);
        if (!width || *width < 0 || *width > 65535) {
            return {std::nullopt, "The settings file " + iniPath +
                                      " has an invalid SnapshotWidth '" + widthText +
                                      "': it must be a number of pixels, or 0 for the full "
                                      "screen."};
        }
        settings.snapshotWidth = static_cast<int>(*width);
    }
    settings.bindAddress = trimmed(ReadIniSetting(iniPath, "BindIP"));
    in_addr parsed{};
    if (!settings.bindAddress.empty() &&
        ::inet_pton(AF_INET, settings.bindAddress.c_str(), &parsed) != 1) {
        return {std::nullopt, "The settings file " + iniPath + " has an invalid BindIP '" +
                                  settings.bindAddress +
                                  "': it must be an IPv4 address of this PC, or empty."};
    }
    if (const std::string restart = trimmed(ReadIniSetting(iniPath, "RestartCommand"));
        !restart.empty()) {
        settings.restartCommand = restart;
    }
    if (const std::string shutDown = trimmed(ReadIniSetting(iniPath, "ShutDownCommand"));
        !shutDown.empty()) {
        settings.shutDownCommand = shutDown;
    }
    return {settings, {}};
}

} // namespace tavelcast
