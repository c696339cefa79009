#pragma once

#include "RunControl.h"
#include "net/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavelcast::sim {

// What a pupil does while its socket is quiet.
class PupilActivity {
public:
    virtual ~PupilActivity() = default;
    // Runs the work that is due (it may write to the socket) and returns the number of
    // milliseconds until more work is due, or -1 for none.
    virtual int onIdle() = 0;
    // The run entered its drain phase.
    virtual void onDrain() = 0;
};

// One pupil's connected TCP socket (owned, closed on destruction), read through a
// LineReader. Reading and writing both go through poll() so that:
//  - the pupil's scheduled work runs while it waits for bytes (one thread per pupil);
//  - a long write never deadlocks against a server that is itself writing to us: bytes
//    that arrive while we write are read into a side buffer that readSome serves first;
//  - the run's stop signal ends every wait at once (RunStopped).
// A closed or reset connection surfaces as ConnectionClosed.
class PupilSocket : public ByteSource {
public:
    PupilSocket(int fd, const RunControl& control, PupilActivity& activity);
    ~PupilSocket() override;
    PupilSocket(const PupilSocket&) = delete;
    PupilSocket& operator=(const PupilSocket&) = delete;

    std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) override;

    // Hands every byte of the pieces, in order, to the socket.
    void writeAll(std::span<const std::span<const std::uint8_t>> pieces);
    void writeAll(std::span<const std::uint8_t> bytes) {
        const std::span<const std::uint8_t> one[1] = {bytes};
        writeAll(one);
    }

    // Fault injection: from now on nothing more is taken from the socket; only a hang-up
    // by the server is still noticed.
    void stopReading() { m_reading = false; }
    bool reading() const { return m_reading; }

private:
    bool takeIncoming(); // reads what is available into m_inbound; false on end of stream

    int m_fd;
    const RunControl& m_control;
    PupilActivity& m_activity;
    bool m_reading = true;
    bool m_drainSeen = false;
    bool m_peerClosed = false;
    std::vector<std::uint8_t> m_inbound;
    std::size_t m_inboundBegin = 0;
};

} // namespace tavelcast::sim
