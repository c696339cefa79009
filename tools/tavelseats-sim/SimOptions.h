#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavelcast::sim {

// A command line the simulator cannot run: exit code 1 with the message.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

// How --verify-dir names the file it expects for a pupil.
enum class VerifyName {
    Ip,     // the pupil's source address, named the way the server names it:
            // reverse lookup, the dotted address when there is no name
    Dotted, // the dotted source address, no lookup
};

// Longest run the simulator accepts, and the cap on an open-ended run.
inline constexpr double MaxRunSeconds = 3600.0;
// Most pupils one simulator runs (one thread each).
inline constexpr int MaxClients = 2000;

struct SimOptions {
    std::string host = "127.0.0.1";
    std::uint32_t hostAddress = 0x7f000001; // host byte order
    int port = 0;
    int clients = 1;
    bool distinctSources = false;
    double connectRate = 0.0; // first connections per second across pupils, 0 = all at once
    std::string namePrefix = "pupil";

    std::string jpegFile;                   // --jpeg
    int cardWidth = 640;                    // --card-size
    int cardHeight = 480;                   //
    std::optional<std::size_t> payloadSize; // --payload-size

    double snapshotRate = 0.0;     // unasked snapshots per second per pupil
    double pollRate = 0.0;         // IDLE polls per second per pupil
    bool pollBackToBack = false;   // poll again as soon as a frame arrived
    double requestListEvery = 0.0; // seconds between list requests, 0 = never

    double duration = 0.0; // seconds, 0 = until signal / all closed (capped)
    bool reconnect = false;
    bool exitWhenClosed = false;
    double stopReadingAfter = -1.0; // < 0: never
    std::string readyFile;
    std::string recordFile;
    std::string verifyDir;
    VerifyName verifyName = VerifyName::Ip;

    bool json = false;
    bool perPupil = false;
    bool help = false;
    std::string writeCard; // hidden: write pupil 1's test card to this file and exit

    // Whether a rendered test card is the snapshot (needs Qt's GUI module).
    bool usesTestCard() const { return jpegFile.empty() && !payloadSize.has_value(); }
};

// Parses the arguments after the program name. Throws UsageError.
SimOptions parseSimOptions(const std::vector<std::string_view>& args);

// The usage text printed by --help.
std::string simUsage();

// Parses a dotted IPv4 address (or "localhost") to host byte order; nothing when the
// text is not one.
std::optional<std::uint32_t> parseIpv4(std::string_view text);

// Whether an address (host byte order) lies in 127.0.0.0/8.
inline bool isLoopback(std::uint32_t address) {
    return (address >> 24) == 127;
}

// Dotted text of an address in host byte order.
std::string dottedAddress(std::uint32_t address);

// Source address of pupil `index` (from 0) with --distinct-sources:
// 127.0.(index / 250).(index % 250 + 2), i.e. 127.0.0.2 ... 127.0.0.251, then
// 127.0.1.2 ... and so on; 127.0.x.0, .1 and .252-.255 are never used.
std::uint32_t distinctSourceAddress(int index);

// Name of pupil `index` (from 0): prefix followed by index + 1, zero-padded to at least
// two digits (or as many as the largest index needs): pupil01, pupil02, ... pupil500.
std::string pupilName(std::string_view prefix, int index, int clients);

} // namespace tavelcast::sim
