#include "app/AppTitle.h"

#include <cctype>

namespace tavelcast {

std::string applicationTitle(const std::string& executableFileName) {
    std::string name = executableFileName;
    if (const auto slash = name.find_last_of('/'); slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    if (const auto dot = name.find('.'); dot != std::string::npos) {
        name.erase(dot);
    }
    for (std::size_t i = 1; i < name.size(); ++i) {
        name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    }
    return name;
}

std::string applicationDir(const std::string& executablePath) {
    const auto slash = executablePath.find_last_of('/');
    if (slash == std::string::npos) {
        return "./";
    }
    return executablePath.substr(0, slash + 1);
}

} // namespace tavelcast
