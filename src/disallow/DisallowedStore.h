#pragma once

#include "net/DisallowedListSource.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tavelcast {

// The list of process names pupils must not run, kept in DisallowedApplications.ini in the
// application folder: section "IniSettings", slots ApplicationProcess0 to
// ApplicationProcess100, one name or nothing each.
//
// Every call reads or writes the file afresh; nothing is cached. A save replaces the whole
// file in one rename, and a read takes the whole file in one open, so a pupil asking for
// the list while the teacher saves gets either the old list or the new one, never a mix
// of slots. Safe to call from any thread.
class DisallowedStore : public DisallowedListSource {
public:
    static constexpr int SlotCount = 101;
    // A name joins the list line only when it is longer than this.
    static constexpr std::size_t MinSentNameLength = 5;

    // appDir ends in '/'.
    explicit DisallowedStore(const std::string& appDir);

    const std::string& path() const { return m_path; }

    // "ApplicationProcess" followed by the slot number (0 to 100).
    static std::string slotKey(int slot);

    // True when name holds a character below 0x20. No process file name does, and a line
    // break would corrupt the file and the list line.
    static bool hasControlCharacter(const std::string& name);

    // The non-empty slot values in slot order; gaps are skipped. A missing file is an
    // empty list.
    std::vector<std::string> LoadDisallowedList() const;

    // Writes all 101 slots in one atomic replacement of the file: the names fill the slots
    // from 0 upwards, every later slot is written empty, names after the 101st are
    // dropped. Other keys in the file are kept. Throws IniWriteError when the file cannot
    // be written, and std::invalid_argument for a name holding a control character (a line
    // break would split the slot and add keys of its own); the old file is then untouched.
    void SaveDisallowedList(const std::vector<std::string>& names) const;

    // The list line: ";" followed by the value, for every slot in order whose value is
    // longer than 5 characters. "" when the file is missing.
    std::string BuildDisallowedList() override;

private:
    // The 101 slot values from one read of the file; all empty when it is missing or
    // unreadable.
    std::vector<std::string> readSlots() const;

    std::string m_path;
};

} // namespace tavelcast
