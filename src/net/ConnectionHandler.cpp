#include "net/ConnectionHandler.h"

#include "app/AtomicFile.h"
#include "net/LineReader.h"
#include "net/NetErrors.h"
#include "net/ProtocolWords.h"

namespace tavelcast {

ConnectionHandler::ConnectionHandler(Deps deps) : m_deps(std::move(deps)) {}

void ConnectionHandler::TCPServerConnect(ClientChannel& connection) {
    m_deps.registry.appendLog(connection.peerAddress() + " Connected");
    // Look the pupil's name up now, on its own thread, so commands to selected pupils from
    // the UI thread find it in the cache.
    m_deps.hostNames.hostNameFor(connection.peerAddress());
}

void ConnectionHandler::TCPServerDisconnect(ClientChannel& connection) {
    m_deps.registry.appendLog("Disconnected : " + connection.peerAddress());
    m_deps.registry.deleteFirstByIP(connection.peerAddress());
}

std::string ConnectionHandler::storagePathFor(const std::string& host) const {
    return m_deps.storageDir + host + ".jpg";
}

void ConnectionHandler::TCPServerExecute(ClientChannel& connection) {
    const std::string line = connection.readLine();
    if (line == words::GetDisallowedApps) {
        if (m_deps.state.disallowRulesEnabled()) {
            connection.writeLine(m_deps.disallowed ? m_deps.disallowed->BuildDisallowedList()
                                                   : std::string());
        }
    } else if (line == words::IDLE) {
        if (m_deps.state.streaming() && m_deps.frames != nullptr) {
            SendScreenFrame(connection);
        }
    } else if (line == words::GetSnapShot) {
        receiveSnapshot(connection);
    }
    // Any other line is dropped.
}

void ConnectionHandler::SendScreenFrame(ClientChannel& connection) {
    const auto frame = m_deps.frames->frame();
    const std::string count = std::to_string(frame->size());
    const std::string_view pieces[] = {words::DoScreenStreaming, count};
    // The teacher may have stopped sending while the frame was made; a frame must never
    // follow the "StopScreenStreaming" that the UI thread writes under the same lock.
    connection.writeUnitIf([this] { return m_deps.state.streaming(); }, pieces, *frame);
}

void ConnectionHandler::receiveSnapshot(ClientChannel& connection) {
    const std::string countLine = connection.readLine();
    const auto count = parseCountLine(countLine);
    if (!count) {
        throw ProtocolError("bad count line");
    }
    std::vector<std::uint8_t> payload;
    connection.readExact(*count, payload);

    const std::string host = m_deps.hostNames.hostNameFor(connection.peerAddress());
    m_deps.registry.appendIfNew(host, connection.peerAddress());
    writeFileAtomically(storagePathFor(host), payload);
    connection.writeLine(words::IDLE);
}

} // namespace tavelcast
