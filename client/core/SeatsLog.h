#pragma once

#include <string>

namespace tavelcast {

// Tavelseats writes what it does to standard error, one line per event, with the local
// time: the session's journal (or ~/.xsession-errors) keeps it for the administrator.
// Safe to call from any thread.
void seatsLog(const std::string& message);

} // namespace tavelcast
