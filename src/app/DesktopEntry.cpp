#include "app/DesktopEntry.h"

namespace tavelcast {

namespace {

// One argument of an Exec line: quoted when it holds a reserved character, with '"', '`',
// '$' and '\' escaped inside the quotes; '%' doubled, as field codes start with it. The
// string escaping of the whole value comes on top (so one '\' becomes four).
std::string execArgument(std::string_view argument) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = argument.empty();
    for (const char c : argument) {
        if (reserved.find(c) != std::string_view::npos) {
            quote = true;
        }
    }
    std::string out;
    for (const char c : argument) {
        if (c == '%') {
            out += "%%";
        } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return quote ? "\"" + out + "\"" : out;
}

} // namespace

// Escapes a value of type string: backslash and the control characters the format names.
std::string desktopEntryString(std::string_view value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string desktopEntryExecValue(std::string_view path) {
    return desktopEntryString(execArgument(path));
}

} // namespace tavelcast
