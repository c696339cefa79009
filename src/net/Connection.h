#pragma once

#include "net/ByteSource.h"
#include "net/ClientChannel.h"
#include "net/LineReader.h"

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <mutex>

namespace tavelcast {

// One accepted client connection. Reads happen only on the connection's own thread;
// writes take the connection's write mutex and must finish before the write deadline, or
// the connection is closed (a pupil that stops reading cannot stall the teacher).
class Connection : public ClientChannel, private ByteSource {
public:
    Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds writeDeadline);
    ~Connection() override;

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& peerAddress() const override { return m_peerAddress; }
    std::string readLine() override;
    void readExact(std::size_t n, std::vector<std::uint8_t>& out) override;
    void writeUnit(std::span<const std::string_view> lines,
                   std::span<const std::uint8_t> payload = {}) override;
    bool writeUnitIf(const std::function<bool()>& stillWanted,
                     std::span<const std::string_view> lines,
                     std::span<const std::uint8_t> payload = {}) override;

    // Shuts the socket down in both directions without sending anything. The connection's
    // thread wakes from its read and ends. Safe from any thread, any number of times.
    void close();
    bool isClosed() const { return m_closed.load(); }

private:
    std::size_t readSome(std::uint8_t* buffer, std::size_t capacity) override;
    void writeLocked(std::span<const std::string_view> lines,
                     std::span<const std::uint8_t> payload);
    void sendAll(const std::uint8_t* data, std::size_t size,
                 std::chrono::steady_clock::time_point deadline);

    asio::ip::tcp::socket m_socket;
    int m_fd;
    std::string m_peerAddress;
    std::chrono::milliseconds m_writeDeadline;
    LineReader m_reader;
    std::mutex m_writeMutex;
    std::atomic<bool> m_closed{false};
};

} // namespace tavelcast
