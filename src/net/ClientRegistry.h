#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavelcast {

// One row of the client registry MemData: a client that has sent a snapshot this run.
struct MemDataRow {
    int AA = 0;          // 1 for the first row of the run, then one more per row; never reused
    std::string PCName;  // host name of the client
    std::string IP;      // its IPv4 address as the server saw it
};

// The registry of known clients (MemData) and the connection log (Memo1). Connection
// threads add and delete rows and append log lines; the wall sorts and walks the rows on
// the UI thread. One mutex guards both, so a find followed by an append is one step.
class ClientRegistry {
public:
    ClientRegistry();

    // Appends a row for pcName unless a row with exactly that PCName exists (whole text,
    // case-sensitive). Returns true when a row was appended.
    bool appendIfNew(const std::string& pcName, const std::string& ip);

    // Deletes the first row whose IP equals ip; true when one was found.
    bool deleteFirstByIP(const std::string& ip);

    std::optional<MemDataRow> findByPCName(const std::string& pcName) const;
    std::optional<MemDataRow> findByIP(const std::string& ip) const;

    // Sorts rows by PCName ignoring case with the locale's collation, ascending; rows with
    // equal names keep their order of creation.
    void sortByPCName();

    // Visits every row in order while holding the lock. The visitor must not call back
    // into the registry.
    void walk(const std::function<void(const MemDataRow&)>& visit) const;

    std::vector<MemDataRow> rows() const;

    // The connection log. Its first line is "Memo1"; lines are only ever appended.
    void appendLog(const std::string& line);
    std::vector<std::string> logLines() const;

private:
    mutable std::mutex m_mutex;
    std::vector<MemDataRow> m_memData;
    int m_nextAA = 1;
    std::vector<std::string> m_memo1;
};

} // namespace tavelcast
