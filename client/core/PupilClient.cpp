#include "core/PupilClient.h"

#include "core/SeatsLog.h"
#include "core/ServerLine.h"
#include "core/TeacherSocket.h"
#include "net/LineReader.h"
#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

#include <algorithm>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tavelcast {

namespace {

// Lines from the teacher: list lines can hold 101 names of up to 2047 characters each.
constexpr std::size_t MaxServerLineBytes = 256 * 1024;
// Unknown words remembered for "log once"; beyond that they are no longer logged.
constexpr std::size_t MaxRememberedUnknownWords = 64;

std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 80)) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7f) ? '?' : c;
    }
    if (text.size() > 80) {
        out += "...";
    }
    return out;
}

std::string line(std::string_view word) {
    return std::string(word) + "\r\n";
}

} // namespace

PupilClient::PupilClient(PupilActions& actions, Options options)
    : m_actions(actions), m_options(std::move(options)), m_backoff(m_options.backoffSeed) {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_options.maxFramesPerSecond < 1) {
        m_options.maxFramesPerSecond = 1;
    }
}

PupilClient::~PupilClient() {
    stop();
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
    }
}

void PupilClient::start() {
    if (!m_thread.joinable()) {
        m_stop = false;
        m_thread = std::thread([this] { run(); });
    }
}

void PupilClient::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::uint64_t drained = 0;
    [[maybe_unused]] const auto read = ::read(m_wakeFd, &drained, sizeof drained);
}

bool PupilClient::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_stop.load(); });
}

void PupilClient::run() {
    std::string reportedProblem;
    while (!m_stop) {
        const ClientSettingsResult loaded = loadClientSettings(m_options.iniPath);
        if (!loaded.settings) {
            if (loaded.error != reportedProblem) {
                seatsLog(loaded.error + " Trying again every " +
                         std::to_string(m_options.settingsRetry.count() / 1000) + " s.");
                m_actions.settingsProblem(loaded.error);
                reportedProblem = loaded.error;
            }
            if (!pause(m_options.settingsRetry)) {
                break;
            }
            continue;
        }
        if (!reportedProblem.empty()) {
            seatsLog("the settings file " + m_options.iniPath + " is usable now");
            m_actions.settingsProblem({});
            reportedProblem.clear();
        }
        try {
            talk(*loaded.settings);
        } catch (const Stopping&) {
            break;
        } catch (const ConnectFailed& error) {
            seatsLog(std::string("cannot reach the teacher: ") + error.what());
        }
        const auto wait = m_backoff.next();
        seatsLog("next attempt in " + std::to_string(wait.count()) + " ms");
        if (!pause(wait)) {
            break;
        }
    }
}

void PupilClient::talk(const ClientSettings& settings) {
    TeacherSocket socket(settings.host, settings.port, m_options.connectTimeout, m_wakeFd,
                         settings.bindAddress);
    m_backoff.reset();
    ++m_connections;
    seatsLog("connected to the teacher at " + socket.peer());
    m_listPushPending = false;
    // Until the teacher answers our list request (it does only while its rule is on), or
    // says DisallowON, nothing is enforced.
    m_actions.disallowEnabled(false);
    m_actions.connected(socket.peer());

    const auto now = Clock::now();
    m_lastPoll = now;
    m_nextPoll = now; // the first poll goes out at once
    m_nextListRequest = now;
    // Everything the pupil sends of its own accord goes out from here, while the reader
    // waits for the teacher's next bytes.
    socket.setIdleHook([&]() {
        const auto at = Clock::now();
        if (at >= m_nextListRequest) {
            socket.write(line(words::GetDisallowedApps));
            m_nextListRequest = at + m_options.listInterval;
        }
        if (at >= m_nextPoll) {
            socket.write(line(words::IDLE));
            m_lastPoll = at;
            m_nextPoll = at + m_options.pollInterval;
        }
        return std::min(m_nextPoll, m_nextListRequest);
    });

    LineReader reader(socket, MaxServerLineBytes);
    try {
        for (;;) {
            const std::string text = reader.readLine();
            handleLine(text, socket, reader, settings);
        }
    } catch (const Stopping&) {
        m_actions.disallowEnabled(false);
        m_actions.disconnected();
        throw;
    } catch (const ProtocolError& error) {
        seatsLog(std::string("the teacher broke the framing, reconnecting: ") + error.what());
    } catch (const std::exception& error) {
        seatsLog(std::string("the connection to the teacher ended: ") + error.what());
    }
    m_actions.disallowEnabled(false);
    m_actions.disconnected();
}

void PupilClient::handleLine(const std::string& text, TeacherSocket& socket, LineReader& reader,
                             const ClientSettings& settings) {
    switch (classifyServerLine(text)) {
    case ServerLineKind::ListLine: {
        const auto names = parseListLine(text);
        m_actions.disallowedList(names);
        if (m_listPushPending) {
            // The teacher saved a new list; whether it is enforced is DisallowON/OFF's say.
            m_listPushPending = false;
            seatsLog("new disallowed list from the teacher: " + std::to_string(names.size()) +
                     " name(s)");
        } else {
            // The answer to our request: the teacher answers only while the rule is on.
            seatsLog("disallowed list: " + std::to_string(names.size()) +
                     " name(s); the teacher's rule is on");
            m_actions.disallowEnabled(true);
        }
        break;
    }
    case ServerLineKind::GetSnapShot:
        sendSnapshot(socket, settings);
        break;
    case ServerLineKind::DoScreenStreaming: {
        const std::string countLine = reader.readLine();
        const auto count = parseCountLine(countLine);
        if (!count) {
            throw ProtocolError("bad count line '" + printable(countLine) + "'");
        }
        std::vector<std::uint8_t> frame;
        reader.readExact(*count, frame);
        m_actions.showFrame(std::move(frame));
        // Poll again at once, but keep to the frame-rate ceiling.
        const auto ceiling =
            m_lastPoll + std::chrono::microseconds(1'000'000 / m_options.maxFramesPerSecond);
        m_nextPoll = std::max(Clock::now(), ceiling);
        break;
    }
    case ServerLineKind::StopScreenStreaming:
        seatsLog("the teacher stopped sending the screen");
        m_actions.stopFrames();
        break;
    case ServerLineKind::KeyLockON:
        seatsLog("keyboard locked by the teacher");
        m_actions.keyboardLock(true);
        break;
    case ServerLineKind::KeyLockOFF:
        seatsLog("keyboard unlocked by the teacher");
        m_actions.keyboardLock(false);
        break;
    case ServerLineKind::Restart:
        seatsLog("the teacher asked for a restart");
        m_actions.restart(settings.restartCommand);
        break;
    case ServerLineKind::ShutDown:
        seatsLog("the teacher asked for a shutdown");
        m_actions.shutDown(settings.shutDownCommand);
        break;
    case ServerLineKind::DisallowON:
        seatsLog("disallowed applications: enforcement on");
        m_actions.disallowEnabled(true);
        break;
    case ServerLineKind::DisallowOFF:
        seatsLog("disallowed applications: enforcement off");
        m_actions.disallowEnabled(false);
        break;
    case ServerLineKind::GetDisallowedApps:
        // A pushed list: the next line is its list line.
        m_listPushPending = true;
        break;
    case ServerLineKind::IDLE:
        // The teacher's receipt for a snapshot.
        break;
    case ServerLineKind::Unknown:
        if (m_unknownWords.size() < MaxRememberedUnknownWords &&
            m_unknownWords.insert(text).second) {
            seatsLog("ignoring an unknown word from the teacher: '" + printable(text) + "'");
        }
        break;
    }
}

void PupilClient::sendSnapshot(TeacherSocket& socket, const ClientSettings& settings) {
    std::vector<std::uint8_t> jpeg;
    try {
        jpeg = m_actions.snapshot(settings.snapshotWidth);
        m_snapshotFailureLogged = false;
    } catch (const std::exception& error) {
        if (!m_snapshotFailureLogged) {
            seatsLog(std::string("cannot take a snapshot: ") + error.what());
            m_snapshotFailureLogged = true;
        }
        return;
    }
    std::string message = line(words::GetSnapShot) + std::to_string(jpeg.size()) + "\r\n";
    message.append(jpeg.begin(), jpeg.end());
    socket.write(message);
}

} // namespace tavelcast
