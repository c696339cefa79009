#pragma once

#include <string>

namespace tavelcast {

// Builds the list line sent to pupils: the disallowed process names, each preceded by ';'.
class DisallowedListSource {
public:
    virtual ~DisallowedListSource() = default;
    virtual std::string BuildDisallowedList() = 0;
};

} // namespace tavelcast
