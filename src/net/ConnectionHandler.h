#pragma once

#include "net/ClientRegistry.h"
#include "net/DisallowedListSource.h"
#include "net/NameResolver.h"
#include "net/ScreenFrameSource.h"
#include "net/ServerState.h"
#include "net/TcpServer.h"

#include <string>

namespace tavelcast {

// What a pupil's connection does: logs its arrival, answers its lines one at a time,
// stores its snapshots under its host name, keeps the registry, and logs its departure.
class ConnectionHandler : public ConnectionHandlers {
public:
    struct Deps {
        ClientRegistry& registry;
        HostNames& hostNames;
        ServerState& state;
        std::string storageDir;                    // ends in '/'
        DisallowedListSource* disallowed = nullptr; // null: an empty list line
        ScreenFrameSource* frames = nullptr;        // null: polls are never answered
    };

    explicit ConnectionHandler(Deps deps);

    void TCPServerConnect(ClientChannel& connection) override;
    void TCPServerExecute(ClientChannel& connection) override;
    void TCPServerDisconnect(ClientChannel& connection) override;

    // The answer to "IDLE" while screen sending is on: the word, a count line and the
    // frame, as one unit under the connection's write lock.
    void SendScreenFrame(ClientChannel& connection);

    // The file that holds the latest snapshot of host.
    std::string storagePathFor(const std::string& host) const;

private:
    void receiveSnapshot(ClientChannel& connection);

    Deps m_deps;
};

} // namespace tavelcast
