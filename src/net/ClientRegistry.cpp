#include "net/ClientRegistry.h"

#include <QCollator>
#include <QString>
#include <algorithm>

namespace tavelcast {

ClientRegistry::ClientRegistry() : m_memo1{"Memo1"} {}

bool ClientRegistry::appendIfNew(const std::string& pcName, const std::string& ip) {
    std::lock_guard lock(m_mutex);
    const bool known = std::any_of(m_memData.begin(), m_memData.end(),
                                   [&](const MemDataRow& row) { return row.PCName == pcName; });
    if (known) {
        return false;
    }
    m_memData.push_back(MemDataRow{m_nextAA++, pcName, ip});
    return true;
}

bool ClientRegistry::deleteFirstByIP(const std::string& ip) {
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_memData.begin(), m_memData.end(),
                                 [&](const MemDataRow& row) { return row.IP == ip; });
    if (it == m_memData.end()) {
        return false;
    }
    m_memData.erase(it);
    return true;
}

std::optional<MemDataRow> ClientRegistry::findByPCName(const std::string& pcName) const {
    std::lock_guard lock(m_mutex);
    for (const auto& row : m_memData) {
        if (row.PCName == pcName) {
            return row;
        }
    }
    return std::nullopt;
}

std::optional<MemDataRow> ClientRegistry::findByIP(const std::string& ip) const {
    std::lock_guard lock(m_mutex);
    for (const auto& row : m_memData) {
        if (row.IP == ip) {
            return row;
        }
    }
    return std::nullopt;
}

void ClientRegistry::sortByPCName() {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::lock_guard lock(m_mutex);
    std::stable_sort(m_memData.begin(), m_memData.end(),
                     [&](const MemDataRow& a, const MemDataRow& b) {
                         return collator.compare(QString::fromUtf8(a.PCName),
                                                 QString::fromUtf8(b.PCName)) < 0;
                     });
}

void ClientRegistry::walk(const std::function<void(const MemDataRow&)>& visit) const {
    std::lock_guard lock(m_mutex);
    for (const auto& row : m_memData) {
        visit(row);
    }
}

std::vector<MemDataRow> ClientRegistry::rows() const {
    std::lock_guard lock(m_mutex);
    return m_memData;
}

void ClientRegistry::appendLog(const std::string& line) {
    std::lock_guard lock(m_mutex);
    m_memo1.push_back(line);
}

std::vector<std::string> ClientRegistry::logLines() const {
    std::lock_guard lock(m_mutex);
    return m_memo1;
}

} // namespace tavelcast
