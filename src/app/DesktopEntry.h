#pragma once

#include <string>
#include <string_view>

namespace tavelcast {

// Values of freedesktop desktop entry files (the autostart entries of Tavelcast and of
// Tavelseats).

// A value of type string: backslash and the control characters the format names escaped.
std::string desktopEntryString(std::string_view value);

// An Exec value running the one program at path, with no arguments: quoted when the path
// holds a reserved character, '%' doubled, then string-escaped.
std::string desktopEntryExecValue(std::string_view path);

} // namespace tavelcast
