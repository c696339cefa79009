#pragma once

#include "net/Connection.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavelcast {

// The three handlers run on the connection's own thread: connect once, execute again and
// again until it throws (the connection then ends), disconnect once.
class ConnectionHandlers {
public:
    virtual ~ConnectionHandlers() = default;
    virtual void TCPServerConnect(ClientChannel& connection) = 0;
    virtual void TCPServerExecute(ClientChannel& connection) = 0;
    virtual void TCPServerDisconnect(ClientChannel& connection) = 0;
};

// The listener could not be opened (bad address, port in use or out of range).
class BindError : public std::runtime_error {
public:
    explicit BindError(const std::string& what) : std::runtime_error(what) {}
};

struct TcpServerOptions {
    std::string address;  // dotted IPv4; 0.0.0.0 means every local address
    int port = 0;
    int backlog = 15;
    std::size_t maxConnections = 1000;
    std::chrono::milliseconds writeDeadline{5000};
    // TCP keep-alive: first probe after idle, then every interval, give up after count.
    std::chrono::seconds keepAliveIdle{30};
    std::chrono::seconds keepAliveInterval{5};
    int keepAliveCount = 4;
};

// The TCP server: one acceptor thread, one thread per connection, and the live connection
// list behind one mutex. Shutdown stops accepting, closes every connection and joins every
// thread, disconnect handlers included, before it returns.
class TcpServer {
public:
    TcpServer(ConnectionHandlers& handlers, TcpServerOptions options);
    ~TcpServer();

    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Opens the listener and starts accepting. Throws BindError.
    void activate();
    bool active() const;

    // The port actually bound (useful when the options asked for port 0).
    std::uint16_t localPort() const;

    void shutdown();

    // Visits every live connection in list order while holding the list's lock: no
    // connection is added or removed during the walk. The visitor must not wait on
    // anything that needs the server to change the list.
    void walk(const std::function<void(Connection&)>& visit);

    std::size_t connectionCount() const;

    // Threads that have been started and not yet joined (connections plus acceptor).
    std::size_t threadCount() const;

    const TcpServerOptions& options() const { return m_options; }

private:
    void startAccept();
    void onAccepted(asio::ip::tcp::socket socket);
    void runConnection(std::uint64_t id, std::shared_ptr<Connection> connection);
    void reapFinished();
    void scheduleReaper();
    void configureSocket(asio::ip::tcp::socket& socket) const;

    ConnectionHandlers& m_handlers;
    TcpServerOptions m_options;

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_reaper;
    std::thread m_acceptorThread;
    std::uint16_t m_localPort = 0;
    bool m_active = false;
    bool m_shutDown = false;
    std::atomic<bool> m_acceptorRunning{false};
    mutable std::mutex m_lifecycleMutex;

    mutable std::mutex m_liveMutex;
    std::list<std::shared_ptr<Connection>> m_live;

    mutable std::mutex m_threadsMutex;
    std::map<std::uint64_t, std::thread> m_threads;
    std::vector<std::thread> m_finished;
    std::uint64_t m_nextId = 1;
};

} // namespace tavelcast
