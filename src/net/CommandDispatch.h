#pragma once

#include "app/Dialogs.h"
#include "net/NameResolver.h"
#include "net/TcpServer.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavelcast {

// Sends the teacher's commands to the pupils. Every operation walks the server's live
// connection list under its lock, in list order, and writes under each connection's write
// lock, so a command line never lands inside a reply of several pieces.
//
// A connection that fails (it has gone away, or missed the write deadline and was closed)
// does not end the walk: the others still get the word. After the walk, with the list's
// lock released, one error box names every client that failed. A pupil that has stopped
// reading costs the walk at most the write deadline.
//
// Runs on the UI thread.
class CommandDispatch {
public:
    struct Failure {
        std::string address;  // dotted IPv4
        std::string hostName; // the name Tavelcast uses for the client
        std::string reason;
    };

    struct Report {
        std::size_t delivered = 0; // writes that completed
        std::vector<Failure> failures;
    };

    CommandDispatch(TcpServer& server, HostNames& hostNames, Dialogs& dialogs);

    // Writes word as one line to every live connection.
    Report SendToAllClients(std::string_view word);

    // Writes the lines, as one unit, to every live connection ("GetDisallowedApps" and its
    // list line must arrive together).
    Report SendLinesToAllClients(const std::vector<std::string>& lines);

    // The refresh request: "GetSnapShot" to every live connection.
    Report GetSnapShots();

    // Writes word to every connection whose host name equals an entry of selection (exact,
    // case-sensitive). An entry that occurs twice sends the line twice. An empty selection
    // shows "You have to select at least a client" and sends nothing.
    Report SendToSelectedClients(const std::vector<std::string>& selection, std::string_view word);

    // The text of the error box for a walk with failures.
    static std::string failureMessage(const std::vector<Failure>& failures);

private:
    template <typename Visit> Report walkAll(Visit&& visit);
    void reportFailures(const Report& report);

    TcpServer& m_server;
    HostNames& m_hostNames;
    Dialogs& m_dialogs;
};

} // namespace tavelcast
