#include "net/TcpServer.h"

#include <asio/post.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tavelcast {

TcpServer::TcpServer(ConnectionHandlers& handlers, TcpServerOptions options)
    : m_handlers(handlers), m_options(std::move(options)), m_acceptor(m_io), m_reaper(m_io) {}

TcpServer::~TcpServer() {
    shutdown();
}

void TcpServer::activate() {
    std::lock_guard lifecycle(m_lifecycleMutex);
    if (m_active || m_shutDown) {
        return;
    }
    if (m_options.port < 0 || m_options.port > 65535) {
        throw BindError("port out of range");
    }
    asio::error_code ec;
    const auto address = asio::ip::make_address_v4(m_options.address, ec);
    if (ec) {
        throw BindError("not an IPv4 address: " + m_options.address);
    }
    const asio::ip::tcp::endpoint endpoint(address, static_cast<std::uint16_t>(m_options.port));
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        m_acceptor.listen(m_options.backlog, ec);
    }
    if (ec) {
        asio::error_code ignored;
        m_acceptor.close(ignored);
        throw BindError(ec.message());
    }
    m_localPort = m_acceptor.local_endpoint(ec).port();
    m_active = true;
    startAccept();
    scheduleReaper();
    m_acceptorRunning = true;
    m_acceptorThread = std::thread([this] { m_io.run(); });
}

bool TcpServer::active() const {
    std::lock_guard lifecycle(m_lifecycleMutex);
    return m_active;
}

std::uint16_t TcpServer::localPort() const {
    std::lock_guard lifecycle(m_lifecycleMutex);
    return m_localPort;
}

void TcpServer::configureSocket(asio::ip::tcp::socket& socket) const {
    const int fd = socket.native_handle();
    const int on = 1;
    const int idle = static_cast<int>(m_options.keepAliveIdle.count());
    const int interval = static_cast<int>(m_options.keepAliveInterval.count());
    const int count = m_options.keepAliveCount;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // Keep-alive probes only run while nothing is in flight; a pupil whose link died with
    // a command unacknowledged is dropped after the same bound instead of ~15 minutes of
    // retransmissions.
    const unsigned int userTimeoutMs = static_cast<unsigned int>((idle + interval * count) * 1000);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void TcpServer::startAccept() {
    m_acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        }
        if (!ec) {
            onAccepted(std::move(socket));
        }
        reapFinished();
        startAccept();
    });
}

void TcpServer::onAccepted(asio::ip::tcp::socket socket) {
    {
        std::lock_guard live(m_liveMutex);
        if (m_live.size() >= m_options.maxConnections) {
            // Over the cap: refuse this one so a flood cannot exhaust threads.
            asio::error_code ignored;
            socket.close(ignored);
            return;
        }
    }
    configureSocket(socket);
    auto connection = std::make_shared<Connection>(std::move(socket), m_options.writeDeadline);
    {
        // The connection is in the live list before its thread runs the connect handler.
        std::lock_guard live(m_liveMutex);
        m_live.push_back(connection);
    }
    std::lock_guard threads(m_threadsMutex);
    const std::uint64_t id = m_nextId++;
    m_threads.emplace(id, std::thread([this, id, connection] { runConnection(id, connection); }));
}

void TcpServer::runConnection(std::uint64_t id, std::shared_ptr<Connection> connection) {
    try {
        m_handlers.TCPServerConnect(*connection);
        for (;;) {
            m_handlers.TCPServerExecute(*connection);
        }
    } catch (...) {
        // Any failure ends this one connection, silently.
    }
    try {
        m_handlers.TCPServerDisconnect(*connection);
    } catch (...) {
    }
    connection->close();
    {
        std::lock_guard live(m_liveMutex);
        m_live.remove(connection);
    }
    std::lock_guard threads(m_threadsMutex);
    if (const auto it = m_threads.find(id); it != m_threads.end()) {
        m_finished.push_back(std::move(it->second));
        m_threads.erase(it);
    }
    // Otherwise shutdown() has already taken this thread to join it.
}

void TcpServer::reapFinished() {
    std::vector<std::thread> finished;
    {
        std::lock_guard threads(m_threadsMutex);
        finished.swap(m_finished);
    }
    for (auto& thread : finished) {
        thread.join();
    }
}

void TcpServer::scheduleReaper() {
    m_reaper.expires_after(std::chrono::milliseconds(500));
    m_reaper.async_wait([this](const asio::error_code& ec) {
        if (ec) {
            return;
        }
        reapFinished();
        scheduleReaper();
    });
}

void TcpServer::shutdown() {
    std::lock_guard lifecycle(m_lifecycleMutex);
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    if (m_active) {
        // 1. Stop listening.
        // Stopping the io_context matters: a reaper tick that had already fired when the
        // timer was cancelled would otherwise schedule the next one and keep it running.
        asio::post(m_io, [this] {
            asio::error_code ignored;
            m_acceptor.close(ignored);
            m_reaper.cancel();
            m_io.stop();
        });
        m_acceptorThread.join();
        m_acceptorRunning = false;
    }
    // 2. Close every connection, without sending anything.
    {
        std::lock_guard live(m_liveMutex);
        for (const auto& connection : m_live) {
            connection->close();
        }
    }
    // 3. Join every connection thread; each runs its disconnect handler before it ends.
    for (;;) {
        std::vector<std::thread> toJoin;
        {
            std::lock_guard threads(m_threadsMutex);
            for (auto& [id, thread] : m_threads) {
                toJoin.push_back(std::move(thread));
            }
            m_threads.clear();
            for (auto& thread : m_finished) {
                toJoin.push_back(std::move(thread));
            }
            m_finished.clear();
        }
        if (toJoin.empty()) {
            break;
        }
        for (auto& thread : toJoin) {
            thread.join();
        }
    }
    m_active = false;
}

void TcpServer::walk(const std::function<void(Connection&)>& visit) {
    std::lock_guard live(m_liveMutex);
    for (const auto& connection : m_live) {
        visit(*connection);
    }
}

std::size_t TcpServer::connectionCount() const {
    std::lock_guard live(m_liveMutex);
    return m_live.size();
}

std::size_t TcpServer::threadCount() const {
    std::lock_guard threads(m_threadsMutex);
    return m_threads.size() + m_finished.size() + (m_acceptorRunning.load() ? 1 : 0);
}

} // namespace tavelcast
