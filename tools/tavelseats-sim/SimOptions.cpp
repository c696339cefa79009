#include "SimOptions.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tavelcast::sim {

namespace {

double parseNumber(std::string_view option, std::string_view text, double min, double max) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value) || value < min ||
        value > max) {
        throw UsageError(std::string(option) + ": expected a number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", got '" + copy + "'");
    }
    return value;
}

long long parseInteger(std::string_view option, std::string_view text, long long min,
                       long long max) {
    long long value = 0;
    const auto* first = text.data();
    const auto* last = text.data() + text.size();
    const auto result = std::from_chars(first, last, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != last || value < min ||
        value > max) {
        throw UsageError(std::string(option) + ": expected a whole number from " +
                         std::to_string(min) + " to " + std::to_string(max) + ", got '" +
                         std::string(text) + "'");
    }
    return value;
}

} // namespace

std::optional<std::uint32_t> parseIpv4(std::string_view text) {
    if (text == "localhost") {
        return 0x7f000001u;
    }
    const std::string copy(text);
    in_addr address{};
    if (inet_pton(AF_INET, copy.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

std::string dottedAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xff, (address >> 16) & 0xff,
                  (address >> 8) & 0xff, address & 0xff);
    return text;
}

std::uint32_t distinctSourceAddress(int index) {
    const auto third = static_cast<std::uint32_t>(index / 250);
    const auto fourth = static_cast<std::uint32_t>(index % 250 + 2);
    return (127u << 24) | (third << 8) | fourth;
}

std::string pupilName(std::string_view prefix, int index, int clients) {
    int width = 2;
    for (int largest = clients; largest >= 100; largest /= 10) {
        ++width;
    }
    std::string digits = std::to_string(index + 1);
    if (digits.size() < static_cast<std::size_t>(width)) {
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    }
    return std::string(prefix) + digits;
}

std::string simUsage() {
    return R"(usage: tavelseats-sim --port P [options]

Simulated Tavelseats pupils for tests, benchmarks and demos. Each pupil is one TCP
connection to the server; only loopback servers (127.0.0.0/8) are accepted.

Connection
  --host ADDR               server address, 127.0.0.0/8 only (default 127.0.0.1)
  --port P                  server port (required)
  --clients N               number of pupils (default 1, at most 2000)
  --distinct-sources        pupil i (from 0) binds to 127.0.(i/250).(i%250+2) before
                            connecting: 127.0.0.2 ... 127.0.0.251, 127.0.1.2 ...
  --connect-rate R          open the first connections at R per second (pupil i waits
                            i/R s); default 0: all at once
  --name-prefix TEXT        pupil names are TEXT01, TEXT02, ... (default "pupil")
  --reconnect               reconnect after the server closes a connection, backing off
                            100 ms doubling to 5 s, with jitter
  --exit-when-closed        end the run once every pupil's connection has ended and
                            none is connected

Snapshots (the answer to GetSnapShot, and unasked ones)
  --jpeg FILE               send this file's bytes
  --card-size WxH           size of the generated test card (default 640x480)
  --payload-size BYTES      send BYTES synthetic bytes (0, or 4 and more): FF D8, the
                            pupil name and a sequence number, filler, FF D9; every
                            snapshot differs
                            (default: a JPEG test card with the pupil's name)
  --snapshot-rate R         unasked snapshots per second per pupil (default 0)

Polls and lists
  --poll-rate R             IDLE polls per second per pupil (default 0)
  --poll-back-to-back       poll again as soon as a frame arrived; without a frame,
                            poll at --poll-rate, or 10 per second when that is 0
  --request-list-every S    send GetDisallowedApps every S seconds (default 0 = never)

Run
  --duration S              run S seconds (default 0 = until SIGINT/SIGTERM, or until
                            every connection has ended without --reconnect);
                            never more than 3600
  --stop-reading-after S    fault injection: stop reading the socket after S seconds
  --ready-file PATH         create PATH once all pupils are connected
  --record FILE             write every received line: "<ms> <pupil> <word>[ <arg>]"
  --verify-dir DIR          at the end, check DIR/<name>.jpg against each pupil's last
                            snapshot
  --verify-name ip|dotted   ip (default): the source address named as the server names
                            it (reverse lookup, else dotted); dotted: no lookup
  --json                    print the summary as one JSON object
  --per-pupil               add per-pupil counts to the summary
  --help                    print this text

Exit codes: 0 normal end, 1 usage or set-up error, 2 framing errors seen,
3 --verify-dir found a mismatch, 4 no pupil could connect at all.
)";
}

SimOptions parseSimOptions(const std::vector<std::string_view>& args) {
    SimOptions options;
    bool havePort = false;

    using Handler = std::function<void(std::string_view)>;
    const std::map<std::string_view, Handler> withValue = {
        {"--host",
         [&](std::string_view v) {
             const auto address = parseIpv4(v);
             if (!address) {
                 throw UsageError("--host: '" + std::string(v) +
                                  "' is not an IPv4 address (only 127.0.0.0/8 is allowed)");
             }
             if (!isLoopback(*address)) {
                 throw UsageError("--host: " + std::string(v) +
                                  " is outside 127.0.0.0/8; the simulator only targets "
                                  "loopback servers");
             }
             options.host = dottedAddress(*address);
             options.hostAddress = *address;
         }},
        {"--port",
         [&](std::string_view v) {
             options.port = static_cast<int>(parseInteger("--port", v, 1, 65535));
             havePort = true;
         }},
        {"--clients",
         [&](std::string_view v) {
             options.clients = static_cast<int>(parseInteger("--clients", v, 1, MaxClients));
         }},
        {"--name-prefix",
         [&](std::string_view v) {
             if (v.empty() || v.find_first_of(" \t\r\n/\\") != std::string_view::npos) {
                 throw UsageError("--name-prefix: must be non-empty, without spaces or "
                                  "slashes");
             }
             options.namePrefix = v;
         }},
        {"--jpeg", [&](std::string_view v) { options.jpegFile = v; }},
        {"--card-size",
         [&](std::string_view v) {
             const auto x = v.find('x');
             if (x == std::string_view::npos) {
                 throw UsageError("--card-size: expected WxH, e.g. 640x480");
             }
             options.cardWidth =
                 static_cast<int>(parseInteger("--card-size", v.substr(0, x), 16, 8192));
             options.cardHeight =
                 static_cast<int>(parseInteger("--card-size", v.substr(x + 1), 16, 8192));
         }},
        {"--payload-size",
         [&](std::string_view v) {
             const auto size =
                 static_cast<std::size_t>(parseInteger("--payload-size", v, 0, 64LL * 1024 * 1024));
             if (size > 0 && size < 4) {
                 throw UsageError("--payload-size: must be 0 or at least 4 (FF D8 ... FF D9)");
             }
             options.payloadSize = size;
         }},
        {"--snapshot-rate",
         [&](std::string_view v) {
             options.snapshotRate = parseNumber("--snapshot-rate", v, 0, 1000);
         }},
        {"--connect-rate",
         [&](std::string_view v) {
             options.connectRate = parseNumber("--connect-rate", v, 0, 1e6);
         }},
        {"--poll-rate",
         [&](std::string_view v) { options.pollRate = parseNumber("--poll-rate", v, 0, 1000); }},
        {"--request-list-every",
         [&](std::string_view v) {
             options.requestListEvery = parseNumber("--request-list-every", v, 0, MaxRunSeconds);
             if (options.requestListEvery > 0 && options.requestListEvery < 0.001) {
                 throw UsageError("--request-list-every: at least 0.001 seconds");
             }
         }},
        {"--duration",
         [&](std::string_view v) {
             options.duration = parseNumber("--duration", v, 0, MaxRunSeconds);
         }},
        {"--stop-reading-after",
         [&](std::string_view v) {
             options.stopReadingAfter = parseNumber("--stop-reading-after", v, 0, MaxRunSeconds);
         }},
        {"--ready-file", [&](std::string_view v) { options.readyFile = v; }},
        {"--record", [&](std::string_view v) { options.recordFile = v; }},
        {"--verify-dir", [&](std::string_view v) { options.verifyDir = v; }},
        {"--verify-name",
         [&](std::string_view v) {
             if (v == "ip") {
                 options.verifyName = VerifyName::Ip;
             } else if (v == "dotted") {
                 options.verifyName = VerifyName::Dotted;
             } else {
                 throw UsageError("--verify-name: expected ip or dotted");
             }
         }},
        {"--write-card", [&](std::string_view v) { options.writeCard = v; }},
    };
    const std::map<std::string_view, bool*> flags = {
        {"--distinct-sources", &options.distinctSources},
        {"--poll-back-to-back", &options.pollBackToBack},
        {"--reconnect", &options.reconnect},
        {"--exit-when-closed", &options.exitWhenClosed},
        {"--json", &options.json},
        {"--per-pupil", &options.perPupil},
        {"--help", &options.help},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> inlineValue;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (const auto flag = flags.find(arg); flag != flags.end()) {
            if (inlineValue) {
                throw UsageError(std::string(arg) + " takes no value");
            }
            *flag->second = true;
            continue;
        }
        const auto option = withValue.find(arg);
        if (option == withValue.end()) {
            throw UsageError("unknown option '" + std::string(args[i]) + "' (see --help)");
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                throw UsageError(std::string(arg) + " needs a value");
            }
            inlineValue = args[++i];
        }
        option->second(*inlineValue);
    }

    if (options.help) {
        return options;
    }
    if (!options.writeCard.empty()) {
        return options; // only renders a card; no server needed
    }
    if (!havePort) {
        throw UsageError("--port is required (see --help)");
    }
    if (!options.jpegFile.empty() && options.payloadSize) {
        throw UsageError("--jpeg and --payload-size exclude each other");
    }
    return options;
}

} // namespace tavelcast::sim
