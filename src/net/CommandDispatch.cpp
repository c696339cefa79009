#include "net/CommandDispatch.h"

#include "net/ProtocolWords.h"

#include <exception>
#include <optional>
#include <utility>

namespace tavelcast {

CommandDispatch::CommandDispatch(TcpServer& server, HostNames& hostNames, Dialogs& dialogs)
    : m_server(server), m_hostNames(hostNames), m_dialogs(dialogs) {}

// Runs visit(connection, report) for every live connection. visit returns the host name it
// looked up, if any, so a failure can be named without a second lookup. An exception from
// one connection is recorded and the walk goes on.
template <typename Visit> CommandDispatch::Report CommandDispatch::walkAll(Visit&& visit) {
    Report report;
    std::vector<std::pair<Failure, bool>> failed; // bool: the host name is already known
    m_server.walk([&](Connection& connection) {
        std::optional<std::string> hostName;
        try {
            visit(connection, report, hostName);
        } catch (const std::exception& error) {
            failed.push_back(
                {Failure{connection.peerAddress(), hostName.value_or(std::string()), error.what()},
                 hostName.has_value()});
        } catch (...) {
            failed.push_back({Failure{connection.peerAddress(), hostName.value_or(std::string()),
                                      "unknown error"},
                              hostName.has_value()});
        }
    });
    // The failed clients are named from the cache, after the list's lock is released.
    for (auto& [failure, named] : failed) {
        if (!named) {
            failure.hostName = m_hostNames.knownHostNameFor(failure.address);
        }
        report.failures.push_back(std::move(failure));
    }
    return report;
}

void CommandDispatch::reportFailures(const Report& report) {
    if (!report.failures.empty()) {
        m_dialogs.showError(failureMessage(report.failures));
    }
}

std::string CommandDispatch::failureMessage(const std::vector<Failure>& failures) {
    std::string text = failures.size() == 1 ? std::string("The command did not reach 1 client:")
                                            : "The command did not reach " +
                                                  std::to_string(failures.size()) + " clients:";
    for (const auto& failure : failures) {
        text += "\n";
        text += failure.hostName.empty() ? failure.address : failure.hostName;
        if (!failure.hostName.empty() && failure.hostName != failure.address) {
            text += " (" + failure.address + ")";
        }
        text += ": " + failure.reason;
    }
    return text;
}

CommandDispatch::Report CommandDispatch::SendToAllClients(std::string_view word) {
    Report report = walkAll([word](Connection& connection, Report& r, std::optional<std::string>&) {
        connection.writeLine(word);
        ++r.delivered;
    });
    reportFailures(report);
    return report;
}

CommandDispatch::Report
CommandDispatch::SendLinesToAllClients(const std::vector<std::string>& lines) {
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    Report report =
        walkAll([&views](Connection& connection, Report& r, std::optional<std::string>&) {
            connection.writeUnit(views);
            ++r.delivered;
        });
    reportFailures(report);
    return report;
}

CommandDispatch::Report CommandDispatch::GetSnapShots() {
    return SendToAllClients(words::GetSnapShot);
}

CommandDispatch::Report
CommandDispatch::SendToSelectedClients(const std::vector<std::string>& selection,
                                       std::string_view word) {
    if (selection.empty()) {
        m_dialogs.showMessage("You have to select at least a client");
        return {};
    }
    Report report =
        walkAll([&](Connection& connection, Report& r, std::optional<std::string>& hostName) {
            // Only the cache: the walk never waits on DNS.
            hostName = m_hostNames.knownHostNameFor(connection.peerAddress());
            for (const auto& entry : selection) {
                if (entry == *hostName) {
                    connection.writeLine(word);
                    ++r.delivered;
                }
            }
        });
    reportFailures(report);
    return report;
}

} // namespace tavelcast
