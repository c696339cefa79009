#include "disallow/PushDisallowedList.h"

#include "net/ProtocolWords.h"

#include <exception>

namespace tavelcast {

std::vector<PushFailure> PushDisallowedList(TcpServer& server, const std::string& listLine) {
    std::vector<PushFailure> failures;
    server.walk([&](Connection& connection) {
        try {
            connection.writeLines({words::GetDisallowedApps, listLine});
        } catch (const std::exception& error) {
            failures.push_back({connection.peerAddress(), error.what()});
        }
    });
    return failures;
}

std::string pushFailureMessage(const std::vector<PushFailure>& failures) {
    std::string text = failures.size() == 1
                           ? std::string("The list of disallowed applications did not reach 1 "
                                         "client:")
                           : "The list of disallowed applications did not reach " +
                                 std::to_string(failures.size()) + " clients:";
    for (const auto& failure : failures) {
        text += "\n" + failure.address + ": " + failure.reason;
    }
    return text;
}

} // namespace tavelcast
