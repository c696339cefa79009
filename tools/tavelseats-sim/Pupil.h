#pragma once

#include "PupilSocket.h"
#include "PupilStats.h"
#include "RecordedEvent.h"
#include "RunControl.h"
#include "SimOptions.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tavelcast {
class LineReader;
}

namespace tavelcast::sim {

using Payload = std::shared_ptr<const std::vector<std::uint8_t>>;

// One simulated pupil: a TCP connection (re-opened with --reconnect) that speaks the pupil
// side of the protocol. run() is the body of the pupil's own thread; everything else but
// the atomics is read by the main thread only after that thread was joined.
class Pupil : private PupilActivity {
public:
    // fixedPayload: the snapshot to send (a file or a test card); empty when synthetic
    // payloads are made per snapshot (--payload-size).
    Pupil(int index, const SimOptions& options, RunControl& control, Payload fixedPayload);

    void run();

    const std::string& name() const { return m_name; }
    int index() const { return m_index; }
    // Local address of the last connection (host byte order); 0 before any.
    std::uint32_t sourceAddress() const { return m_sourceAddress; }
    const PupilStats& stats() const { return m_stats; }
    const std::vector<RecordedEvent>& events() const { return m_events; }
    // The payloads the server may hold as this pupil's latest snapshot: the last one it
    // acknowledged and every one sent after it. Empty when nothing was ever sent.
    std::vector<Payload> verifyCandidates() const;

    // Live state for the main thread.
    bool connected() const { return m_connected.load(); }
    bool attempted() const { return m_attempted.load(); } // a first attempt has finished
    bool finished() const { return m_finished.load(); }   // no further connection will come
    int awaitingAcks() const { return m_awaitingAcks.load(); }

private:
    using Clock = RunControl::Clock;
    struct InFlight {
        Clock::time_point sentAt;
        Payload bytes;
    };

    int connectOnce(); // a connected socket, or -1 (counted as a connect failure)
    void session(int fd);
    void handleLine(const std::string& line, LineReader& reader);
    void receiveFrame(Clock::time_point at, LineReader& reader);
    void acknowledge(Clock::time_point at);
    void endSession();

    int onIdle() override;
    void onDrain() override;

    void sendSnapshot(bool asked);
    void sendPoll();
    void sendListRequest();
    bool sending() const;
    void record(Clock::time_point at, std::string word);
    void record(Clock::time_point at, std::string word, std::string argument);
    Payload nextPayload();
    bool waitBackoff(std::chrono::milliseconds delay);

    const int m_index;
    const SimOptions& m_options;
    RunControl& m_control;
    const Payload m_fixedPayload;
    const std::string m_name;
    std::mt19937_64 m_random;

    PupilStats m_stats;
    std::vector<RecordedEvent> m_events;
    std::uint32_t m_sourceAddress = 0;
    std::uint64_t m_sequence = 0;
    std::vector<std::uint8_t> m_frame;

    // The current connection.
    PupilSocket* m_socket = nullptr;
    std::deque<InFlight> m_inFlight;
    bool m_draining = false;
    bool m_stoppedReading = false;
    Clock::time_point m_nextSnapshot;
    Clock::time_point m_nextPoll;
    Clock::time_point m_lastPoll;
    Clock::time_point m_nextListRequest;

    // What the server may have stored (see verifyCandidates).
    Payload m_lastAcked;
    std::deque<Payload> m_unackedEarlier; // sent on closed connections after m_lastAcked

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_attempted{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_awaitingAcks{0};
};

} // namespace tavelcast::sim
