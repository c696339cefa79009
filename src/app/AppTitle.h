#pragma once

#include <string>

namespace tavelcast {

// The title of message boxes: the executable's file name up to its first dot, with every
// letter after the first in lower case ("TAVELCAST.bin" gives "Tavelcast").
std::string applicationTitle(const std::string& executableFileName);

// The folder of the running executable, always ending in '/'.
std::string applicationDir(const std::string& executablePath);

} // namespace tavelcast
