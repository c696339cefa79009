#include "Pupil.h"

#include "SyntheticPayload.h"
#include "net/LineReader.h"
#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavelcast::sim {

namespace {

using namespace std::chrono_literals;

constexpr auto ConnectTimeout = 10s;
constexpr auto FirstBackoff = 100ms;
constexpr auto LongestBackoff = 5000ms;
// Without a frame, --poll-back-to-back polls again after this (unless --poll-rate says).
constexpr auto BackToBackFallback = 100ms;
// A line from the server longer than this is a framing error.
constexpr std::size_t MaxIncomingLine = 65535;
// Snapshots sent after the last acknowledged one that are kept for --verify-dir.
constexpr std::size_t MaxUnackedKept = 8;
// Received lines kept per pupil for --record.
constexpr std::size_t MaxRecordedEvents = 1'000'000;

// Words that need nothing but recording.
constexpr std::string_view OneWayWords[] = {
    words::KeyLockON,
    words::KeyLockOFF,
    words::Restart,
    words::ShutDown,
    words::DisallowON,
    words::DisallowOFF,
    words::StopScreenStreaming,
};

RunControl::Clock::duration periodOf(double perSecond) {
    return std::chrono::duration_cast<RunControl::Clock::duration>(
        std::chrono::duration<double>(1.0 / perSecond));
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Says why connections ended, for the first few only: a class closed at once says it 500
// times otherwise.
void noteClosed(const std::string& name, const char* why) {
    static std::atomic<int> told{0};
    constexpr int MaxTold = 5;
    const int n = ++told;
    if (n <= MaxTold) {
        std::fprintf(stderr, "tavelseats-sim: %s: connection ended by the server (%s)%s\n",
                     name.c_str(), why, n == MaxTold ? "; not telling about further ones" : "");
    }
}

} // namespace

Pupil::Pupil(int index, const SimOptions& options, RunControl& control, Payload fixedPayload)
    : m_index(index), m_options(options), m_control(control),
      m_fixedPayload(std::move(fixedPayload)),
      m_name(pupilName(options.namePrefix, index, options.clients)),
      m_random(
          0x5eedULL * static_cast<std::uint64_t>(index + 1) ^
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {
}

std::vector<Payload> Pupil::verifyCandidates() const {
    std::vector<Payload> candidates;
    if (m_lastAcked) {
        candidates.push_back(m_lastAcked);
    }
    candidates.insert(candidates.end(), m_unackedEarlier.begin(), m_unackedEarlier.end());
    for (const auto& sent : m_inFlight) {
        candidates.push_back(sent.bytes);
    }
    return candidates;
}

void Pupil::run() {
    auto backoff = std::chrono::duration_cast<Clock::duration>(FirstBackoff);
    try {
        if (m_options.connectRate > 0) {
            const auto due =
                m_control.start() +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(m_index) / m_options.connectRate));
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
            if (wait.count() > 0 && m_control.waitForSignal(wait, true)) {
                throw RunStopped();
            }
        }
        while (!m_control.draining()) {
            const int fd = connectOnce();
            if (fd >= 0) {
                m_connected = true;
            }
            m_attempted = true;
            if (fd >= 0) {
                backoff = FirstBackoff;
                session(fd);
            }
            if (!m_options.reconnect || m_control.draining()) {
                break;
            }
            std::uniform_real_distribution<double> jitter(0.75, 1.25);
            const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::duration<double, std::milli>(
                    std::chrono::duration<double, std::milli>(backoff).count() * jitter(m_random)));
            if (waitBackoff(delay)) {
                break;
            }
            backoff = std::min<Clock::duration>(backoff * 2, LongestBackoff);
        }
    } catch (const RunStopped&) {
        // the run is over
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavelseats-sim: %s: %s\n", m_name.c_str(), error.what());
    }
    m_connected = false;
    m_attempted = true;
    m_finished = true;
}

bool Pupil::waitBackoff(std::chrono::milliseconds delay) {
    return m_control.waitForSignal(delay, true);
}

int Pupil::connectOnce() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ++m_stats.connectFailures;
        std::fprintf(stderr, "tavelseats-sim: %s: socket: %s\n", m_name.c_str(),
                     std::strerror(errno));
        return -1;
    }
    auto fail = [&](const char* what, int error) {
        ++m_stats.connectFailures;
        if (m_stats.connectFailures == 1 || !m_options.reconnect) {
            std::fprintf(stderr, "tavelseats-sim: %s: %s: %s\n", m_name.c_str(), what,
                         std::strerror(error));
        }
        ::close(fd);
        return -1;
    };

    if (m_options.distinctSources) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(distinctSourceAddress(m_index));
        local.sin_port = 0;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return fail(("bind " + dottedAddress(distinctSourceAddress(m_index))).c_str(), errno);
        }
    }

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(m_options.hostAddress);
    server.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        if (errno != EINPROGRESS) {
            return fail("connect", errno);
        }
        pollfd fds[3] = {
            {fd, POLLOUT, 0}, {m_control.stopFd(), POLLIN, 0}, {m_control.drainFd(), POLLIN, 0}};
        const auto deadline = Clock::now() + ConnectTimeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return fail("connect", ETIMEDOUT);
            }
            const int rc = ::poll(fds, 3, static_cast<int>(left.count()));
            if (rc < 0 && errno == EINTR) {
                continue;
            }
            if (rc < 0) {
                return fail("poll", errno);
            }
            if (fds[1].revents != 0 || fds[2].revents != 0) {
                ::close(fd);
                throw RunStopped();
            }
            if (fds[0].revents != 0) {
                break;
            }
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return fail("getsockopt", errno);
        }
        if (error != 0) {
            return fail("connect", error);
        }
    }

    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        m_sourceAddress = ntohl(local.sin_addr.s_addr);
    }
    return fd;
}

void Pupil::session(int fd) {
    PupilSocket socket(fd, m_control, *this);
    m_socket = &socket;
    ++m_stats.connections;

    const auto now = Clock::now();
    if (m_options.snapshotRate > 0) {
        // A random phase, so a class of pupils does not send in lock-step.
        const auto period = periodOf(m_options.snapshotRate);
        std::uniform_int_distribution<long long> phase(0, period.count());
        m_nextSnapshot = now + Clock::duration(phase(m_random));
    }
    m_nextPoll = now;
    m_lastPoll = now - std::chrono::hours(1);
    m_nextListRequest = now;

    try {
        LineReader reader(socket, MaxIncomingLine);
        for (;;) {
            const std::string line = reader.readLine();
            handleLine(line, reader);
        }
    } catch (const ConnectionClosed& closed) {
        ++m_stats.disconnectsByServer;
        noteClosed(m_name, closed.what());
    } catch (const ProtocolError& error) {
        ++m_stats.framingErrors;
        ++m_stats.closedOnFramingError;
        std::fprintf(stderr, "tavelseats-sim: %s: framing error, closing: %s\n", m_name.c_str(),
                     error.what());
    } catch (...) {
        endSession();
        throw;
    }
    endSession();
}

void Pupil::endSession() {
    m_connected = false;
    m_socket = nullptr;
    m_stats.unacked += m_inFlight.size();
    for (auto& sent : m_inFlight) {
        m_unackedEarlier.push_back(std::move(sent.bytes));
    }
    m_inFlight.clear();
    while (m_unackedEarlier.size() > MaxUnackedKept) {
        m_unackedEarlier.pop_front();
    }
    m_awaitingAcks = 0;
}

void Pupil::handleLine(const std::string& line, LineReader& reader) {
    const auto at = Clock::now();
    if (line == words::GetSnapShot) {
        ++m_stats.words[line];
        record(at, line);
        if (sending()) {
            sendSnapshot(true);
        }
    } else if (line == words::IDLE) {
        ++m_stats.words[line];
        record(at, line);
        acknowledge(at);
    } else if (line == words::DoScreenStreaming) {
        receiveFrame(at, reader); // counted once the frame is in
    } else if (line == words::GetDisallowedApps) {
        ++m_stats.words[line];
        std::string list = reader.readLine();
        ++m_stats.listsPushed;
        record(at, line, std::move(list));
    } else if (std::find(std::begin(OneWayWords), std::end(OneWayWords), line) !=
               std::end(OneWayWords)) {
        ++m_stats.words[line];
        record(at, line);
    } else if (line.empty() || line.front() == ';') {
        // A list line on its own: the answer to our GetDisallowedApps.
        ++m_stats.words[std::string(ListLineWord)];
        ++m_stats.listAnswers;
        record(at, std::string(ListLineWord), line);
    } else {
        // Not a word of the protocol: recorded as it came, counted as "Other".
        ++m_stats.words[std::string(OtherWord)];
        record(at, line);
    }
}

void Pupil::receiveFrame(Clock::time_point at, LineReader& reader) {
    const std::string countLine = reader.readLine();
    const auto count = parseCountLine(countLine);
    if (!count) {
        ++m_stats.words[std::string(words::DoScreenStreaming)];
        record(at, std::string(words::DoScreenStreaming), "bad-count");
        throw ProtocolError("frame count line is not a count: '" + countLine.substr(0, 40) + "'");
    }
    reader.readExact(*count, m_frame);
    ++m_stats.words[std::string(words::DoScreenStreaming)];
    ++m_stats.frames;
    m_stats.frameBytes += *count;
    if (!hasJpegMarkers(m_frame)) {
        ++m_stats.framingErrors;
    }
    record(at, std::string(words::DoScreenStreaming), std::to_string(*count));
    if (m_options.pollBackToBack && sending()) {
        sendPoll();
    }
}

void Pupil::acknowledge(Clock::time_point at) {
    if (m_inFlight.empty()) {
        ++m_stats.unexpectedAcks;
        return;
    }
    const auto& sent = m_inFlight.front();
    m_stats.latenciesMs.push_back(
        std::chrono::duration<double, std::milli>(at - sent.sentAt).count());
    ++m_stats.acks;
    m_lastAcked = sent.bytes;
    m_unackedEarlier.clear();
    m_inFlight.pop_front();
    if (m_awaitingAcks.load() > 0) {
        --m_awaitingAcks;
    }
}

bool Pupil::sending() const {
    return m_socket != nullptr && !m_draining;
}

int Pupil::onIdle() {
    auto now = Clock::now();
    long long wait = -1;
    auto consider = [&](Clock::time_point when) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
        const long long clamped = std::max<long long>(0, ms);
        wait = wait < 0 ? clamped : std::min(wait, clamped);
    };

    if (m_options.stopReadingAfter >= 0 && !m_stoppedReading) {
        const auto due =
            m_control.start() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(m_options.stopReadingAfter));
        if (now >= due) {
            m_socket->stopReading();
            m_stoppedReading = true;
            m_awaitingAcks = 0; // nothing can be acknowledged any more
        } else {
            consider(due);
        }
    }
    if (!sending()) {
        return static_cast<int>(wait);
    }

    if (m_options.snapshotRate > 0) {
        const auto period = periodOf(m_options.snapshotRate);
        if (now >= m_nextSnapshot) {
            sendSnapshot(false);
            now = Clock::now();
            m_nextSnapshot += period;
            if (m_nextSnapshot < now) {
                m_nextSnapshot = now + period; // fell behind: do not burst to catch up
            }
        }
        consider(m_nextSnapshot);
    }
    if (m_options.pollBackToBack) {
        const auto fallback = m_options.pollRate > 0 ? periodOf(m_options.pollRate)
                                                     : Clock::duration(BackToBackFallback);
        if (now >= m_lastPoll + fallback) {
            sendPoll();
            now = Clock::now();
        }
        consider(m_lastPoll + fallback);
    } else if (m_options.pollRate > 0) {
        const auto period = periodOf(m_options.pollRate);
        if (now >= m_nextPoll) {
            sendPoll();
            now = Clock::now();
            m_nextPoll += period;
            if (m_nextPoll < now) {
                m_nextPoll = now + period;
            }
        }
        consider(m_nextPoll);
    }
    if (m_options.requestListEvery > 0) {
        const auto period = periodOf(1.0 / m_options.requestListEvery);
        if (now >= m_nextListRequest) {
            sendListRequest();
            now = Clock::now();
            m_nextListRequest += period;
            if (m_nextListRequest < now) {
                m_nextListRequest = now + period;
            }
        }
        consider(m_nextListRequest);
    }
    return static_cast<int>(std::min<long long>(wait, 60'000));
}

void Pupil::onDrain() {
    m_draining = true;
}

Payload Pupil::nextPayload() {
    if (m_fixedPayload) {
        return m_fixedPayload;
    }
    ++m_sequence;
    return std::make_shared<const std::vector<std::uint8_t>>(
        makeSyntheticPayload(m_name, m_sequence, m_options.payloadSize.value_or(0)));
}

void Pupil::sendSnapshot(bool asked) {
    Payload payload = nextPayload();
    std::string header(words::GetSnapShot);
    header += framing::LineEnd;
    header += std::to_string(payload->size());
    header += framing::LineEnd;
    const std::span<const std::uint8_t> pieces[2] = {bytesOf(header), *payload};
    m_socket->writeAll(pieces);
    const auto sentAt = Clock::now(); // the last payload byte was handed to the socket
    ++m_stats.snapshotsSent;
    m_stats.snapshotBytesSent += payload->size();
    if (asked) {
        ++m_stats.snapshotsAsked;
    }
    m_inFlight.push_back({sentAt, std::move(payload)});
    if (m_socket->reading()) {
        ++m_awaitingAcks;
    }
}

void Pupil::sendPoll() {
    static const std::string poll = std::string(words::IDLE) + std::string(framing::LineEnd);
    m_socket->writeAll(bytesOf(poll));
    m_lastPoll = Clock::now();
    ++m_stats.pollsSent;
}

void Pupil::sendListRequest() {
    static const std::string request =
        std::string(words::GetDisallowedApps) + std::string(framing::LineEnd);
    m_socket->writeAll(bytesOf(request));
    ++m_stats.listRequestsSent;
}

void Pupil::record(Clock::time_point at, std::string word) {
    if (m_options.recordFile.empty() || m_events.size() >= MaxRecordedEvents) {
        return;
    }
    RecordedEvent event;
    event.ms = static_cast<std::int64_t>(m_control.msSinceStart(at));
    event.word = std::move(word);
    m_events.push_back(std::move(event));
}

void Pupil::record(Clock::time_point at, std::string word, std::string argument) {
    if (m_options.recordFile.empty() || m_events.size() >= MaxRecordedEvents) {
        return;
    }
    RecordedEvent event;
    event.ms = static_cast<std::int64_t>(m_control.msSinceStart(at));
    event.word = std::move(word);
    event.argument = std::move(argument);
    event.hasArgument = true;
    m_events.push_back(std::move(event));
}

} // namespace tavelcast::sim
