#include "FakeResolver.h"
#include "MemoryChannel.h"
#include "TempDir.h"
#include "net/ConnectionHandler.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>

using namespace tavelcast;
using namespace tavelcast::testing;

namespace {

class FixedFrame : public ScreenFrameSource {
public:
    std::shared_ptr<const std::vector<std::uint8_t>> frame() override {
        ++calls;
        return std::make_shared<const std::vector<std::uint8_t>>(
            std::vector<std::uint8_t>{0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9});
    }
    int calls = 0;
};

class FixedList : public DisallowedListSource {
public:
    std::string BuildDisallowedList() override { return ";iexplore.exe;notepad.exe"; }
};

struct HandlerFixture {
    HandlerFixture()
        : resolver(std::make_shared<FakeResolver>(
              std::map<std::string, std::string>{{"10.0.0.7", "PC07"}})),
          hostNames(resolver),
          handler(ConnectionHandler::Deps{registry, hostNames, state, storage.dir(), &list,
                                          &frames}) {}

    // Runs the connection's handlers over the scripted input, as the server thread would.
    std::string run(const std::string& input, const std::string& peer = "10.0.0.7",
                    bool* endedByError = nullptr) {
        MemoryChannel channel(peer, input, 5);
        handler.TCPServerConnect(channel);
        bool error = false;
        try {
            for (;;) {
                handler.TCPServerExecute(channel);
            }
        } catch (const ConnectionClosed&) {
        } catch (const std::exception&) {
            error = true;
        }
        if (endedByError != nullptr) {
            *endedByError = error;
        }
        handler.TCPServerDisconnect(channel);
        return channel.written;
    }

    TempDir storage;
    ClientRegistry registry;
    ServerState state;
    std::shared_ptr<FakeResolver> resolver;
    HostNames hostNames;
    FixedFrame frames;
    FixedList list;
    ConnectionHandler handler;
};

} // namespace

TEST(ConnectionHandler, AnswersEachRequestInOrder) {
    struct Case {
        const char* name;
        bool rule;
        StreamModeValue mode;
        std::string input;
        std::string expected;
    };
    const std::string frame = "DoScreenStreaming\r\n7\r\n\xFF\xD8\x01\x02\x03\xFF\xD9";
    const Case cases[] = {
        {"list while the rule is on", true, StreamModeValue::Empty, "GetDisallowedApps\r\n",
         ";iexplore.exe;notepad.exe\r\n"},
        {"no list while the rule is off", false, StreamModeValue::Empty, "GetDisallowedApps\n", ""},
        {"idle while not streaming", true, StreamModeValue::Empty, "IDLE\r\nIDLE\n", ""},
        {"idle after stop", true, StreamModeValue::StopScreenStreaming, "IDLE\r\n", ""},
        {"idle while streaming, CRLF and LF alike", true, StreamModeValue::DoScreenStreaming,
         "IDLE\r\nIDLE\n", frame + frame},
        {"words are case-sensitive", true, StreamModeValue::DoScreenStreaming,
         "idle\r\ngetdisallowedapps\r\nGETSNAPSHOT\r\n", ""},
        {"unknown lines are dropped", true, StreamModeValue::Empty, "Hello\r\n\r\nKeyLockON\r\n", ""},
        {"two requests back to back", true, StreamModeValue::DoScreenStreaming,
         "GetDisallowedApps\r\nIDLE\r\n", ";iexplore.exe;notepad.exe\r\n" + frame},
        {"snapshot answered IDLE", true, StreamModeValue::Empty, "GetSnapShot\r\n3\r\nabcIDLE\r\n",
         "IDLE\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HandlerFixture f;
        f.state.setDisallowRulesEnabled(c.rule);
        f.state.setStreamMode(c.mode);
        EXPECT_EQ(f.run(c.input), c.expected);
    }
}

TEST(ConnectionHandler, ScreenFrameIsOneUnit) {
    HandlerFixture f;
    f.state.setStreamMode(StreamModeValue::DoScreenStreaming);
    MemoryChannel channel("10.0.0.7", "IDLE\r\n");
    f.handler.TCPServerExecute(channel);
    EXPECT_EQ(channel.units, 1);
    EXPECT_EQ(f.frames.calls, 1);
}

TEST(ConnectionHandler, AFrameMadeWhileTheTeacherStopsIsNotSent) {
    // The frame takes a while to make; the teacher chooses "Stop Sending Screens" meanwhile.
    class StoppingFrame : public ScreenFrameSource {
    public:
        explicit StoppingFrame(ServerState& state) : m_state(state) {}
        std::shared_ptr<const std::vector<std::uint8_t>> frame() override {
            m_state.setStreamMode(StreamModeValue::StopScreenStreaming);
            return std::make_shared<const std::vector<std::uint8_t>>(3, 0xFF);
        }

    private:
        ServerState& m_state;
    };
    HandlerFixture f;
    StoppingFrame frames(f.state);
    ConnectionHandler handler(
        ConnectionHandler::Deps{f.registry, f.hostNames, f.state, f.storage.dir(), &f.list, &frames});
    f.state.setStreamMode(StreamModeValue::DoScreenStreaming);
    MemoryChannel channel("10.0.0.7", "IDLE\r\n");
    handler.TCPServerExecute(channel);
    EXPECT_EQ(channel.written, "");
}

TEST(ConnectionHandler, SnapshotIsStoredUnderTheHostNameAndRegistered) {
    HandlerFixture f;
    const std::string first = "\xFF\xD8 first \xFF\xD9";
    const std::string second = std::string("\xFF\xD8\0\r\n second \xFF\xD9", 16);
    f.run("GetSnapShot\r\n" + std::to_string(first.size()) + "\r\n" + first + "GetSnapShot\n" +
          std::to_string(second.size()) + "\n" + second);
    EXPECT_EQ(readFile(f.storage.path() / "PC07.jpg"), second);
    // The disconnect at the end of run() forgot the client again.
    EXPECT_TRUE(f.registry.rows().empty());
    EXPECT_EQ(f.registry.logLines(),
              (std::vector<std::string>{"Memo1", "10.0.0.7 Connected", "Disconnected : 10.0.0.7"}));
}

TEST(ConnectionHandler, ZeroByteSnapshotIsAnEmptyFile) {
    HandlerFixture f;
    EXPECT_EQ(f.run("GetSnapShot\r\n0\r\nIDLE\r\n"), "IDLE\r\n");
    EXPECT_TRUE(std::filesystem::exists(f.storage.path() / "PC07.jpg"));
    EXPECT_EQ(std::filesystem::file_size(f.storage.path() / "PC07.jpg"), 0u);
}

TEST(ConnectionHandler, BadInputEndsTheConnectionAndLeavesTheStoredFileAlone) {
    const std::string cases[] = {
        "GetSnapShot\r\nabc\r\n",
        "GetSnapShot\r\n-1\r\n",
        "GetSnapShot\r\n99999999999\r\n",
        "GetSnapShot\r\n2147483648\r\n",
        "GetSnapShot\r\n100\r\nonly a few bytes",
        std::string(16385, 'A'),
        "\x00\xFF\xFE garbage" + std::string(20000, '\x01'),
    };
    for (const auto& input : cases) {
        SCOPED_TRACE(input.substr(0, 30));
        HandlerFixture f;
        writeFile(f.storage.path() / "PC07.jpg", "old picture");
        bool endedByError = false;
        const std::string written = f.run(input, "10.0.0.7", &endedByError);
        EXPECT_EQ(written, "");
        EXPECT_EQ(readFile(f.storage.path() / "PC07.jpg"), "old picture");
        EXPECT_TRUE(f.registry.rows().empty());
    }
}

TEST(ConnectionHandler, TheLongestSafeHostNameIsStored) {
    HandlerFixture f;
    const std::string longName(MaxSafeHostNameBytes, 'p');
    f.resolver->set("10.0.0.50", longName);
    EXPECT_EQ(f.run("GetSnapShot\r\n2\r\nhi", "10.0.0.50"), "IDLE\r\n");
    EXPECT_EQ(readFile(f.storage.path() / (longName + ".jpg")), "hi");
}

TEST(ConnectionHandler, NoReverseNameUsesTheAddress) {
    HandlerFixture f;
    EXPECT_EQ(f.run("GetSnapShot\r\n2\r\nhi", "10.0.0.99"), "IDLE\r\n");
    EXPECT_EQ(readFile(f.storage.path() / "10.0.0.99.jpg"), "hi");
}

TEST(ConnectionHandler, UnwritableStorageEndsOnlyThatConnection) {
    HandlerFixture f;
    std::filesystem::remove_all(f.storage.path());
    bool endedByError = false;
    EXPECT_EQ(f.run("GetSnapShot\r\n2\r\nhi", "10.0.0.7", &endedByError), "");
    EXPECT_TRUE(endedByError);
}
