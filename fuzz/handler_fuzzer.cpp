// The whole connection handler over one pupil's byte stream: connect, execute until the
// connection ends, disconnect, exactly as a connection thread runs them. Besides crashes,
// it checks what the handler writes back and what it leaves in the registry and the
// storage folder.
//
// Input: byte 0 = settings (bit 0: disallow rule on, bit 1: screen sending on, bits 2-4:
// the resolver's answer, bits 5-7: how the stream is cut into reads), then the stream.

#include "FuzzChunkedSource.h"
#include "net/ClientChannel.h"
#include "net/ClientRegistry.h"
#include "net/ConnectionHandler.h"
#include "net/DisallowedListSource.h"
#include "net/LineReader.h"
#include "net/NameResolver.h"
#include "net/ProtocolWords.h"
#include "net/ScreenFrameSource.h"
#include "net/ServerState.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace tavelcast;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "handler invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

const std::string PeerAddress = "127.0.0.9";
const std::string ListLine = ";forbidden.exe;another.exe";

// The storage folder, made once per fuzzing process and removed at its end.
class StorageFolder {
public:
    StorageFolder() {
        const char* shm = "/dev/shm";
        const std::filesystem::path base = std::filesystem::is_directory(shm)
                                               ? std::filesystem::path(shm)
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "tavelcast-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("mkdtemp");
        }
        m_path = pattern;
    }
    ~StorageFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string dir() const { return m_path.string() + "/"; }

private:
    std::filesystem::path m_path;
};

StorageFolder& storage() {
    static StorageFolder folder;
    return folder;
}

// A resolver with one fixed answer per run, chosen by the input: plain names, no name,
// names that must never become file names, and names near the length limits.
class ChosenResolver : public NameResolver {
public:
    explicit ChosenResolver(int choice) : m_choice(choice) {}
    std::optional<std::string> reverseLookup(const std::string&) override {
        switch (m_choice) {
        case 0:
            return std::string("pupil-pc");
        case 1:
            return std::nullopt;
        case 2:
            return std::string("../escape");
        case 3:
            return std::string("..");
        case 4:
            return std::string(253, 'h');
        case 5:
            return std::string(200, 'g');
        case 6:
            return std::string("tab\there");
        default:
            return std::string("");
        }
    }

private:
    int m_choice;
};

class FixedFrames : public ScreenFrameSource {
public:
    FixedFrames()
        : m_frame(std::make_shared<const std::vector<std::uint8_t>>(
              std::vector<std::uint8_t>{0xFF, 0xD8, 'f', 'r', 'a', 'm', 'e', 0xFF, 0xD9})) {}
    std::shared_ptr<const std::vector<std::uint8_t>> frame() override { return m_frame; }
    const std::vector<std::uint8_t>& bytes() const { return *m_frame; }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> m_frame;
};

class FixedList : public DisallowedListSource {
public:
    std::string BuildDisallowedList() override { return ListLine; }
};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pupil's end held in memory. Every unit the handler writes is checked as it comes.
class FuzzChannel : public ClientChannel {
public:
    FuzzChannel(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> schedule,
                const ServerState& state, const FixedFrames& frames, ConnectionHandler& handler,
                HostNames& hostNames)
        : m_source(stream, schedule), m_reader(m_source, framing::MaxLineBytes), m_state(state),
          m_frames(frames), m_handler(handler), m_hostNames(hostNames) {}

    const std::string& peerAddress() const override { return PeerAddress; }
    std::string readLine() override {
        std::string line = m_reader.readLine();
        m_lastLine = line;
        return line;
    }
    void readExact(std::size_t n, std::vector<std::uint8_t>& out) override {
        m_reader.readExact(n, out);
        m_lastPayload.assign(out.begin(), out.end());
        m_payloadPending = true;
    }
    void writeUnit(std::span<const std::string_view> lines,
                   std::span<const std::uint8_t> payload) override {
        check(!lines.empty(), "a unit without a line");
        if (lines[0] == words::IDLE) {
            // Only the acknowledgement of a snapshot, and only once the file holds it.
            check(lines.size() == 1 && payload.empty(), "IDLE with more pieces");
            check(m_payloadPending, "IDLE without a snapshot just received");
            m_payloadPending = false;
            const std::string host = m_hostNames.hostNameFor(PeerAddress);
            check(isSafeHostName(host), "snapshot stored under an unsafe name");
            const std::string stored = readWhole(m_handler.storagePathFor(host));
            check(stored == std::string(m_lastPayload.begin(), m_lastPayload.end()),
                  "stored file differs from the acknowledged payload");
            ++acknowledged;
        } else if (lines[0] == words::DoScreenStreaming) {
            check(m_state.streaming(), "a frame while screen sending is off");
            check(m_lastLine == words::IDLE, "a frame that answers no poll");
            check(lines.size() == 2 && lines[1] == std::to_string(m_frames.bytes().size()),
                  "frame count line wrong");
            check(std::equal(payload.begin(), payload.end(), m_frames.bytes().begin(),
                             m_frames.bytes().end()),
                  "frame bytes wrong");
        } else {
            check(lines.size() == 1 && lines[0] == ListLine && payload.empty(),
                  "an unexpected line written");
            check(m_state.disallowRulesEnabled(), "a list line while the rule is off");
            check(m_lastLine == words::GetDisallowedApps, "a list line that answers no request");
        }
    }

    int acknowledged = 0;

private:
    fuzzing::FuzzChunkedSource m_source;
    LineReader m_reader;
    const ServerState& m_state;
    const FixedFrames& m_frames;
    ConnectionHandler& m_handler;
    HostNames& m_hostNames;
    std::string m_lastLine;
    std::vector<std::uint8_t> m_lastPayload;
    bool m_payloadPending = false;
};

// Piece-size schedules for the stream: whole reads, a byte at a time, and odd cuts.
const std::array<std::vector<std::uint8_t>, 8> Schedules = {{
    {0},
    {1},
    {2, 7},
    {13},
    {1, 0},
    {255, 3},
    {5, 1, 64},
    {100},
}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t settings = data[0];
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

    ClientRegistry registry;
    ServerState state;
    state.setDisallowRulesEnabled((settings & 1) != 0);
    state.setStreamMode((settings & 2) != 0 ? StreamModeValue::DoScreenStreaming
                                            : StreamModeValue::StopScreenStreaming);
    HostNames hostNames(std::make_shared<ChosenResolver>((settings >> 2) & 7));
    FixedFrames frames;
    FixedList list;
    ConnectionHandler handler(
        ConnectionHandler::Deps{registry, hostNames, state, storage().dir(), &list, &frames});
    FuzzChannel channel(stream, Schedules[(settings >> 5) & 7], state, frames, handler, hostNames);

    // As the server's connection thread runs them.
    handler.TCPServerConnect(channel);
    try {
        for (int round = 0; round < 100000; ++round) {
            handler.TCPServerExecute(channel);
        }
    } catch (const std::exception&) {
        // Every failure ends the connection; what failed is checked below.
    }
    handler.TCPServerDisconnect(channel);

    check(!registry.findByIP(PeerAddress).has_value(), "registry row left after disconnect");
    const auto log = registry.logLines();
    check(log.size() == 3 && log[1] == PeerAddress + " Connected" &&
              log[2] == "Disconnected : " + PeerAddress,
          "connection log wrong");
    // Nothing but finished snapshot files (and no temporary files) is left in storage.
    for (const auto& entry : std::filesystem::directory_iterator(storage().dir())) {
        const std::string name = entry.path().filename().string();
        check(name.size() > 4 && name.ends_with(".jpg"), "a stray file in the storage folder");
    }
    return 0;
}
