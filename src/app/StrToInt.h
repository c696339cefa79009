#pragma once

#include <stdexcept>
#include <string>

namespace tavelcast {

// Converts decimal text to an integer: optional blanks before, an optional sign, digits,
// within the 32-bit range. Anything else throws ConvertError with the message
// "'<text>' is not a valid integer value".
class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const std::string& text)
        : std::runtime_error("'" + text + "' is not a valid integer value") {}
};

int StrToInt(const std::string& text);

} // namespace tavelcast
