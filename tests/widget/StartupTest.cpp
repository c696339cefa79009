// Start-up of the hidden main window: the first-run dialogue, reading Options.ini, the
// storage folder and the listener that opens one timer tick after creation.

#include "Eventually.h"
#include "LoopbackPupil.h"
#include "RecordingDialogs.h"
#include "TempDir.h"
#include "app/IniSettings.h"
#include "forms/Form_MainMenu.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tavelcast {
namespace {

using testing::LoopbackPupil;
using testing::RecordingDialogs;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr auto StartUpDeadline = std::chrono::seconds(10);
const std::string BindMessage = "Could not bind socket. Address and port are already in use.";
const std::string IpQuestion = "Please Give the Server IP|Server IP|";
const std::string PortQuestion = "Please give connection port|Connection Port|";

// Start-up never needs a name; keep DNS out of the tests.
class NoNames : public NameResolver {
public:
    std::optional<std::string> reverseLookup(const std::string&) override { return std::nullopt; }
};

// A socket file descriptor that closes itself.
class Socket {
public:
    Socket() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (m_fd < 0) {
            throw std::runtime_error("socket failed");
        }
    }
    ~Socket() { ::close(m_fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Binds without SO_REUSEADDR, so it fails while anything else holds address:port.
    bool bind(const std::string& address, std::uint16_t port) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
            throw std::runtime_error("bad test address " + address);
        }
        return ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    std::uint16_t port() const {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    void listen() {
        if (::listen(m_fd, 4) != 0) {
            throw std::runtime_error("listen failed");
        }
    }

private:
    int m_fd;
};

// A port that nothing holds on 127.0.0.1 right now: bind port 0, note it, close.
std::uint16_t freePort() {
    Socket probe;
    if (!probe.bind("127.0.0.1", 0)) {
        throw std::runtime_error("cannot bind 127.0.0.1:0");
    }
    return probe.port();
}

// True when address:port could be bound by someone else now (nobody holds it).
bool bindable(const std::string& address, std::uint16_t port) {
    Socket probe;
    return probe.bind(address, port);
}

// True when a pupil can connect to 127.0.0.1:port.
bool acceptsOnLoopback(std::uint16_t port) {
    try {
        LoopbackPupil pupil(port);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

std::vector<std::string> kinds(const RecordingDialogs& dialogs) {
    std::vector<std::string> out;
    for (const auto& event : dialogs.events) {
        out.push_back(event.kind);
    }
    return out;
}

class StartupTest : public ::testing::Test {
protected:
    void writeOptions(const std::string& text) {
        testing::writeFile(dir.path() / "Options.ini", text);
    }
    void writeOptions(const std::string& sip, const std::string& sport) {
        writeOptions("[IniSettings]\nSIP=" + sip + "\nSPort=" + sport + "\n");
    }

    // Creates the main window for appDir (the temp folder unless given).
    void create(std::string appDir = {}) {
        MainMenuEnvironment environment;
        environment.AppDir = appDir.empty() ? dir.dir() : std::move(appDir);
        environment.dialogs = &dialogs;
        environment.resolver = std::make_shared<NoNames>();
        environment.showTrayIcon = false;
        window = std::make_unique<TF_MainMenu>(std::move(environment));
        // Recorded from now on; the start-up tick cannot come before events are processed.
        QObject::connect(window.get(), &TF_MainMenu::startUpFinished,
                         [this](bool listening) { finished.push_back(listening); });
    }

    // Runs the event loop until pred holds or the deadline passes. A repeating wake-up
    // timer keeps the blocking wait for events bounded.
    static bool processEventsUntil(const std::function<bool()>& pred,
                                   std::chrono::milliseconds timeout = StartUpDeadline) {
        QTimer wake;
        wake.setInterval(5);
        wake.start();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return pred();
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    // Waits for the start-up tick to report; returns whether the listener runs.
    std::optional<bool> waitStartUpFinished() {
        if (!processEventsUntil([this] { return !finished.empty(); })) {
            return std::nullopt;
        }
        return finished.front();
    }

    // Runs the event loop until a 30 ms timer, started now, has fired. A 1 ms start-up
    // timer started earlier would have fired by then, so afterwards "no listener" means
    // the start-up really stopped, not that its tick is still to come.
    void runPastStartUpTick() {
        bool fired = false;
        QTimer probe;
        probe.setSingleShot(true);
        QObject::connect(&probe, &QTimer::timeout, [&fired] { fired = true; });
        probe.start(30);
        ASSERT_TRUE(processEventsUntil([&fired] { return fired; }));
    }

    fs::path options() const { return dir.path() / "Options.ini"; }
    fs::path storage() const { return dir.path() / "Storage"; }

    void TearDown() override { window.reset(); }

    TempDir dir;
    RecordingDialogs dialogs;
    std::unique_ptr<TF_MainMenu> window;
    std::vector<bool> finished; // every startUpFinished(listening), in order
};

// ---------------------------------------------------------------------------------------
// First run: SIP is empty, so the two questions are asked, answers stored, and the
// program ends without ever listening.

struct FirstRunCase {
    const char* name;
    std::optional<std::string> initialFile; // Options.ini before start; nullopt: none
    std::optional<std::string> ipAnswer;    // nullopt: Cancel
    std::optional<std::string> portAnswer;
    std::string ipPrefill;
    std::string portPrefill;
    bool fileAfter;
    std::string sipAfter;
    std::string sportAfter;
};

std::ostream& operator<<(std::ostream& out, const FirstRunCase& c) {
    return out << c.name;
}

class FirstRunTest : public StartupTest, public ::testing::WithParamInterface<FirstRunCase> {};

TEST_P(FirstRunTest, AsksBothQuestionsStoresAnswersAndEnds) {
    const FirstRunCase& c = GetParam();
    if (c.initialFile) {
        writeOptions(*c.initialFile);
    }
    dialogs.inputAnswers = {c.ipAnswer, c.portAnswer};
    create();

    ASSERT_EQ(dialogs.events.size(), 3u) << ::testing::PrintToString(kinds(dialogs));
    EXPECT_EQ(dialogs.events[0].kind, "input");
    EXPECT_EQ(dialogs.events[0].text, IpQuestion + c.ipPrefill);
    EXPECT_EQ(dialogs.events[1].kind, "input");
    EXPECT_EQ(dialogs.events[1].text, PortQuestion + c.portPrefill);
    EXPECT_EQ(dialogs.events[2].kind, "message");
    EXPECT_EQ(dialogs.events[2].text, "Please Restart Application");
    EXPECT_TRUE(window->terminateRequested());

    EXPECT_EQ(fs::exists(options()), c.fileAfter);
    EXPECT_EQ(ReadIniSetting(options().string(), "SIP"), c.sipAfter);
    EXPECT_EQ(ReadIniSetting(options().string(), "SPort"), c.sportAfter);

    // The run ends here: nothing else is prepared and nothing will ever listen.
    EXPECT_EQ(window->server(), nullptr);
    EXPECT_EQ(window->StartUpTimer(), nullptr);
    EXPECT_FALSE(fs::exists(storage()));
    runPastStartUpTick();
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(dialogs.events.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, FirstRunTest,
    ::testing::Values(FirstRunCase{"NoFileBothAnswered", std::nullopt, "127.0.0.1", "5555", "", "",
                                   true, "127.0.0.1", "5555"},
                      FirstRunCase{"NoFileBothCancelled", std::nullopt, std::nullopt, std::nullopt,
                                   "", "", false, "", ""},
                      FirstRunCase{"NoFileOnlyAddressAnswered", std::nullopt, "10.0.0.7",
                                   std::nullopt, "", "", true, "10.0.0.7", ""},
                      FirstRunCase{"NoFileOnlyPortAnswered", std::nullopt, std::nullopt, "6100", "",
                                   "", true, "", "6100"},
                      // Nothing about an answer is checked: it is stored as typed.
                      FirstRunCase{"AnswersStoredUnchecked", std::nullopt, "not-an-ip", "abc", "",
                                   "", true, "not-an-ip", "abc"},
                      FirstRunCase{"StoredPortPrefillsPortQuestion",
                                   "[IniSettings]\nSIP=\nSPort=6001\n", std::nullopt, std::nullopt,
                                   "", "6001", true, "", "6001"},
                      FirstRunCase{"PrefillIgnoresLetterCase", "[inisettings]\nsport=6002\n",
                                   std::nullopt, std::nullopt, "", "6002", true, "", "6002"},
                      FirstRunCase{"AnsweredAddressKeepsStoredPort", "[IniSettings]\nSPort=6003\n",
                                   "127.0.0.1", std::nullopt, "", "6003", true, "127.0.0.1",
                                   "6003"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, FirstRunWritesPlainIniText) {
    dialogs.inputAnswers = {std::string("127.0.0.1"), std::string("")};
    create();

    const std::string text = testing::readFile(options());
    EXPECT_NE(text.find("[IniSettings]"), std::string::npos) << text;
    EXPECT_NE(text.find("SIP=127.0.0.1\n"), std::string::npos) << text;
    // An empty answer keeps its key, written as "key=" and nothing else.
    EXPECT_NE(text.find("SPort=\n"), std::string::npos) << text;
    EXPECT_TRUE(window->terminateRequested());
}

// ---------------------------------------------------------------------------------------
// First run whose settings file cannot be written: the error ends the dialogue, and the
// program runs on with only its tray icon (no restart message, no termination).

struct UnwritableCase {
    const char* name;
    // Prepares the temp folder; returns the AppDir to start with.
    std::function<std::string(const TempDir&)> prepare;
    std::optional<std::string> ipAnswer;
    std::optional<std::string> portAnswer;
    std::vector<std::string> expectedKinds;
};

std::ostream& operator<<(std::ostream& out, const UnwritableCase& c) {
    return out << c.name;
}

class UnwritableFirstRunTest : public StartupTest,
                               public ::testing::WithParamInterface<UnwritableCase> {};

std::string optionsIsAFolder(const TempDir& dir) {
    fs::create_directory(dir.path() / "Options.ini");
    return dir.dir();
}

// Tests run as root, so permission bits would not stop a write; a path through a file
// does.
std::string appDirIsAFile(const TempDir& dir) {
    testing::writeFile(dir.path() / "NotAFolder", "plain file\n");
    return dir.dir() + "NotAFolder/";
}

TEST_P(UnwritableFirstRunTest, ShowsWriteErrorAndSkipsTheRestOfTheDialogue) {
    const UnwritableCase& c = GetParam();
    const std::string appDir = c.prepare(dir);
    dialogs.inputAnswers = {c.ipAnswer, c.portAnswer};
    create(appDir);

    EXPECT_EQ(kinds(dialogs), c.expectedKinds);
    EXPECT_EQ(dialogs.texts("input").front(), IpQuestion);
    EXPECT_EQ(dialogs.texts("error"),
              std::vector<std::string>{"Unable to write to " + appDir + "Options.ini"});
    EXPECT_TRUE(dialogs.texts("message").empty());
    EXPECT_FALSE(window->terminateRequested());

    EXPECT_NE(window->trayIcon(), nullptr);
    EXPECT_EQ(window->server(), nullptr);
    EXPECT_EQ(window->StartUpTimer(), nullptr);
    runPastStartUpTick();
    EXPECT_TRUE(finished.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Startup, UnwritableFirstRunTest,
    ::testing::Values(
        UnwritableCase{
            "OptionsIsAFolder", optionsIsAFolder, "127.0.0.1", "5555", {"input", "error"}},
        UnwritableCase{"AppDirIsAFile", appDirIsAFile, "127.0.0.1", "5555", {"input", "error"}},
        // The address is cancelled, so the failing write is the port's.
        UnwritableCase{
            "PortWriteFails", optionsIsAFolder, std::nullopt, "5555", {"input", "input", "error"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// SPort that is not a decimal integer: the conversion error is shown and the creation
// steps after it are skipped (no storage folder, no server, no timer); the tray stays.

struct BadPortCase {
    const char* name;
    std::string optionsText;
    std::string expectedError;
};

std::ostream& operator<<(std::ostream& out, const BadPortCase& c) {
    return out << c.name;
}

class BadPortTest : public StartupTest, public ::testing::WithParamInterface<BadPortCase> {};

TEST_P(BadPortTest, ShowsConversionErrorAndNeverListens) {
    const BadPortCase& c = GetParam();
    writeOptions(c.optionsText);
    create();

    EXPECT_EQ(kinds(dialogs), std::vector<std::string>{"error"});
    EXPECT_EQ(dialogs.texts("error"), std::vector<std::string>{c.expectedError});
    EXPECT_FALSE(window->terminateRequested());

    EXPECT_EQ(window->server(), nullptr);
    EXPECT_EQ(window->StartUpTimer(), nullptr);
    EXPECT_FALSE(fs::exists(storage()));
    ASSERT_NE(window->trayIcon(), nullptr);
    EXPECT_EQ(window->trayIcon()->contextMenu(), window->PopupMenu1());
    EXPECT_NE(window->PopupMenu1(), nullptr);

    runPastStartUpTick();
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(dialogs.events.size(), 1u);
    // The settings are left as they were.
    EXPECT_EQ(testing::readFile(options()), c.optionsText);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, BadPortTest,
    ::testing::Values(BadPortCase{"PortMissing", "[IniSettings]\nSIP=127.0.0.1\n",
                                  "'' is not a valid integer value"},
                      BadPortCase{"PortEmpty", "[IniSettings]\nSIP=127.0.0.1\nSPort=\n",
                                  "'' is not a valid integer value"},
                      BadPortCase{"PortLetters", "[IniSettings]\nSIP=127.0.0.1\nSPort=abc\n",
                                  "'abc' is not a valid integer value"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// The listener cannot be opened at the start-up tick: one message, whatever the cause,
// and the program runs on without listening.

struct BindFailureCase {
    const char* name;
    std::string sip;
    // Returns SPort; may occupy the port with a socket kept in holder.
    std::function<std::string(std::unique_ptr<Socket>& holder)> port;
};

std::ostream& operator<<(std::ostream& out, const BindFailureCase& c) {
    return out << c.name;
}

class BindFailureTest : public StartupTest,
                        public ::testing::WithParamInterface<BindFailureCase> {};

std::string aFreePort(std::unique_ptr<Socket>&) {
    return std::to_string(freePort());
}

std::function<std::string(std::unique_ptr<Socket>&)> portHeldOn(std::string address) {
    return [address](std::unique_ptr<Socket>& holder) {
        holder = std::make_unique<Socket>();
        if (!holder->bind(address, 0)) {
            throw std::runtime_error("cannot bind " + address + ":0");
        }
        holder->listen();
        return std::to_string(holder->port());
    };
}

TEST_P(BindFailureTest, ReportsTheBindMessageAfterTheTick) {
    const BindFailureCase& c = GetParam();
    std::unique_ptr<Socket> occupant;
    writeOptions(c.sip, c.port(occupant));
    create();

    // Nothing is bound before the tick.
    EXPECT_TRUE(dialogs.events.empty());
    ASSERT_NE(window->server(), nullptr);
    EXPECT_FALSE(window->server()->active());

    const auto listening = waitStartUpFinished();
    ASSERT_TRUE(listening.has_value()) << "start-up tick never reported";
    EXPECT_FALSE(*listening);
    EXPECT_EQ(kinds(dialogs), std::vector<std::string>{"error"});
    EXPECT_EQ(dialogs.texts("error"), std::vector<std::string>{BindMessage});
    EXPECT_FALSE(window->server()->active());
    EXPECT_FALSE(window->terminateRequested());
    EXPECT_FALSE(window->StartUpTimer()->isActive());
    EXPECT_NE(window->trayIcon(), nullptr);

    // It fires once: no second attempt, no second message.
    runPastStartUpTick();
    EXPECT_EQ(finished.size(), 1u);
    EXPECT_EQ(dialogs.events.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, BindFailureTest,
    ::testing::Values(BindFailureCase{"AddressOutOfRange", "999.1.1.1", aFreePort},
                      BindFailureCase{"AddressNotDotted", "not-an-ip", aFreePort},
                      // A well-formed address that is not one of this machine's (TEST-NET-1;
                      // only a local bind is tried, nothing is sent).
                      BindFailureCase{"AddressNotLocal", "192.0.2.1", aFreePort},
                      BindFailureCase{"PortInUse", "127.0.0.1", portHeldOn("127.0.0.1")},
                      BindFailureCase{"PortInUseOnEveryAddress", "127.0.0.1",
                                      portHeldOn("0.0.0.0")},
                      BindFailureCase{"PortAboveRange", "127.0.0.1",
                                      [](std::unique_ptr<Socket>&) { return "70000"; }},
                      BindFailureCase{"PortNegative", "127.0.0.1",
                                      [](std::unique_ptr<Socket>&) { return "-1"; }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// The storage folder cannot be created (a file already has its name).

TEST_F(StartupTest, StorageThatIsAFileStopsStartUp) {
    const std::uint16_t port = freePort();
    writeOptions("127.0.0.1", std::to_string(port));
    testing::writeFile(storage(), "not a folder\n");
    create();

    EXPECT_EQ(kinds(dialogs), std::vector<std::string>{"error"});
    EXPECT_FALSE(window->terminateRequested());
    EXPECT_EQ(window->StartUpTimer(), nullptr);
    EXPECT_TRUE(window->server() == nullptr || !window->server()->active());
    EXPECT_NE(window->trayIcon(), nullptr);

    runPastStartUpTick();
    EXPECT_TRUE(finished.empty());
    EXPECT_FALSE(acceptsOnLoopback(port));
    EXPECT_EQ(testing::readFile(storage()), "not a folder\n");
}

// ---------------------------------------------------------------------------------------
// A valid settings file: nothing is asked, storage is prepared, and one tick later the
// window is hidden and the server listens on exactly SIP:SPort.

struct ValidCase {
    const char* name;
    std::string sip;
    bool reachableOn127001; // a pupil connecting to 127.0.0.1 gets through
    bool holds127001;       // 127.0.0.1:SPort is taken by the server
    bool holds127002;       // 127.0.0.2:SPort is taken by the server
};

std::ostream& operator<<(std::ostream& out, const ValidCase& c) {
    return out << c.name;
}

class ValidStartupTest : public StartupTest, public ::testing::WithParamInterface<ValidCase> {};

TEST_P(ValidStartupTest, ListensOnExactlyTheStoredAddressAndPort) {
    const ValidCase& c = GetParam();
    const std::uint16_t port = freePort();
    writeOptions(c.sip, std::to_string(port));
    create();

    // Creation: nothing asked, storage ready, timer armed, not yet listening.
    EXPECT_TRUE(dialogs.events.empty());
    EXPECT_FALSE(window->terminateRequested());
    EXPECT_TRUE(fs::is_directory(storage()));
    ASSERT_NE(window->StartUpTimer(), nullptr);
    EXPECT_TRUE(window->StartUpTimer()->isActive());
    EXPECT_EQ(window->StartUpTimer()->interval(), 1);
    ASSERT_NE(window->server(), nullptr);
    EXPECT_FALSE(window->server()->active());
    EXPECT_EQ(window->geometry().x(), -1000);
    EXPECT_EQ(window->geometry().width(), 0);
    EXPECT_EQ(window->geometry().height(), 0);
    EXPECT_EQ(window->state().StreamMode(), "");
    EXPECT_TRUE(window->registry().rows().empty());

    // Shown now, so that hiding at the tick is observable.
    window->show();
    ASSERT_TRUE(window->isVisible());

    const auto listening = waitStartUpFinished();
    ASSERT_TRUE(listening.has_value()) << "start-up tick never reported";
    EXPECT_TRUE(*listening);
    EXPECT_TRUE(dialogs.events.empty()) << ::testing::PrintToString(kinds(dialogs));
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->StartUpTimer()->isActive());
    EXPECT_TRUE(window->server()->active());
    EXPECT_EQ(window->server()->localPort(), port);
    EXPECT_EQ(window->state().StreamMode(), "");
    EXPECT_TRUE(window->registry().rows().empty());

    // Exactly this address: a second socket cannot take the server's address and port,
    // and can take the same port on another loopback address.
    EXPECT_EQ(bindable("127.0.0.1", port), !c.holds127001);
    EXPECT_EQ(bindable("127.0.0.2", port), !c.holds127002);

    if (c.reachableOn127001) {
        LoopbackPupil pupil(port);
        // The connection's own thread logs it once it runs.
        EXPECT_TRUE(testing::eventually([this] {
            const auto log = window->registry().logLines();
            return std::find(log.begin(), log.end(), "127.0.0.1 Connected") != log.end();
        }));
        EXPECT_EQ(window->server()->connectionCount(), 1u);
    } else {
        EXPECT_FALSE(acceptsOnLoopback(port));
        EXPECT_EQ(window->server()->connectionCount(), 0u);
    }
    // Still nothing asked or reported.
    EXPECT_TRUE(dialogs.events.empty());
}

INSTANTIATE_TEST_SUITE_P(Startup, ValidStartupTest,
                         ::testing::Values(ValidCase{"Loopback", "127.0.0.1", true, true, false},
                                           ValidCase{"OtherLoopbackAddress", "127.0.0.2", false,
                                                     false, true},
                                           ValidCase{"EveryAddress", "0.0.0.0", true, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, ExistingStorageFolderIsKeptAsItIs) {
    const std::uint16_t port = freePort();
    writeOptions("127.0.0.1", std::to_string(port));
    fs::create_directory(storage());
    testing::writeFile(storage() / "pupil-01.jpg", "jpeg bytes");
    create();

    const auto listening = waitStartUpFinished();
    ASSERT_TRUE(listening.has_value());
    EXPECT_TRUE(*listening);
    EXPECT_TRUE(dialogs.events.empty());
    EXPECT_EQ(testing::readFile(storage() / "pupil-01.jpg"), "jpeg bytes");
    EXPECT_TRUE(acceptsOnLoopback(port));
}

} // namespace
} // namespace tavelcast
