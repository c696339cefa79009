#pragma once

#include "FakeResolver.h"
#include "TempDir.h"
#include "net/ClientRegistry.h"
#include "net/ConnectionHandler.h"
#include "net/NameResolver.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace tavelcast::testing {

// Wraps the real handlers and tells the test when connections end, so tests wait on that
// event instead of on the clock.
class NotifyingHandlers : public ConnectionHandlers {
public:
    explicit NotifyingHandlers(ConnectionHandlers& inner) : m_inner(inner) {}

    void TCPServerConnect(ClientChannel& c) override {
        m_inner.TCPServerConnect(c);
        std::lock_guard lock(m_mutex);
        ++m_connects;
        m_changed.notify_all();
    }
    void TCPServerExecute(ClientChannel& c) override { m_inner.TCPServerExecute(c); }
    void TCPServerDisconnect(ClientChannel& c) override {
        m_inner.TCPServerDisconnect(c);
        std::lock_guard lock(m_mutex);
        ++m_disconnects;
        m_changed.notify_all();
    }

    bool waitConnects(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_connects >= count; });
    }
    bool waitDisconnects(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_disconnects >= count; });
    }
    int disconnects() {
        std::lock_guard lock(m_mutex);
        return m_disconnects;
    }

private:
    ConnectionHandlers& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_connects = 0;
    int m_disconnects = 0;
};

// The server core in-process on 127.0.0.1 and a free port, with a table-driven resolver
// and a temporary storage folder.
struct InProcessServer {
    explicit InProcessServer(TcpServerOptions options = {},
                             ScreenFrameSource* frames = nullptr,
                             DisallowedListSource* disallowed = nullptr)
        : resolver(std::make_shared<FakeResolver>()), hostNames(resolver),
          handler(ConnectionHandler::Deps{registry, hostNames, state, storage.dir(), disallowed,
                                          frames}),
          notifying(handler), server(notifying, withLoopback(std::move(options))) {
        server.activate();
    }

    std::uint16_t port() const { return server.localPort(); }
    std::string storedFile(const std::string& host) const {
        return readFile(storage.path() / (host + ".jpg"));
    }
    bool hasStoredFile(const std::string& host) const {
        return std::filesystem::exists(storage.path() / (host + ".jpg"));
    }

    static TcpServerOptions withLoopback(TcpServerOptions options) {
        options.address = "127.0.0.1";
        options.port = 0;
        return options;
    }

    TempDir storage;
    ClientRegistry registry;
    ServerState state;
    std::shared_ptr<FakeResolver> resolver;
    HostNames hostNames;
    ConnectionHandler handler;
    NotifyingHandlers notifying;
    TcpServer server;
};

} // namespace tavelcast::testing
