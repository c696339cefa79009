#pragma once

#include "net/TcpServer.h"

#include <string>
#include <vector>

namespace tavelcast {

// A pupil the list did not reach.
struct PushFailure {
    std::string address; // dotted IPv4
    std::string reason;
};

// Sends "GetDisallowedApps" and then listLine, as one unit under each connection's write
// lock, to every live connection, in list order, holding the list's lock for the walk. A
// connection that fails (gone away, or missed the write deadline and was closed) does not
// end the walk: the others still get the list. Returns the connections that failed.
// Runs on the UI thread.
std::vector<PushFailure> PushDisallowedList(TcpServer& server, const std::string& listLine);

// The text of the one error box for a push with failures.
std::string pushFailureMessage(const std::vector<PushFailure>& failures);

} // namespace tavelcast
