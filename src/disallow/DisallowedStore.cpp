#include "disallow/DisallowedStore.h"

#include "app/IniSettings.h"

#include <SimpleIni.h>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace tavelcast {

namespace {

// Reads the whole file with one open. The file is only ever replaced by a rename, so the
// bytes read belong to one version of it.
bool readWholeFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        return false;
    }
    out = std::move(buffer).str();
    return true;
}

} // namespace

DisallowedStore::DisallowedStore(const std::string& appDir)
    : m_path(appDir + "DisallowedApplications.ini") {}

std::string DisallowedStore::slotKey(int slot) {
    return "ApplicationProcess" + std::to_string(slot);
}

std::vector<std::string> DisallowedStore::readSlots() const {
    std::vector<std::string> slots(SlotCount);
    std::string text;
    if (!readWholeFile(m_path, text)) {
        return slots;
    }
    // The same reader settings as ReadIniSetting: section and key names without regard to
    // case, one value per key, values cut at the same length.
    CSimpleIniA ini(false, false, false);
    ini.SetSpaces(false);
    if (ini.LoadData(text) < 0) {
        return slots;
    }
    for (int slot = 0; slot < SlotCount; ++slot) {
        const char* value = ini.GetValue(IniSection, slotKey(slot).c_str(), nullptr);
        if (value != nullptr) {
            std::string& s = slots[static_cast<std::size_t>(slot)];
            s = value;
            if (s.size() > MaxIniValueChars) {
                s.resize(MaxIniValueChars);
            }
        }
    }
    return slots;
}

std::vector<std::string> DisallowedStore::LoadDisallowedList() const {
    std::vector<std::string> names;
    for (auto& value : readSlots()) {
        if (!value.empty()) {
            names.push_back(std::move(value));
        }
    }
    return names;
}

bool DisallowedStore::hasControlCharacter(const std::string& name) {
    return std::any_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void DisallowedStore::SaveDisallowedList(const std::vector<std::string>& names) const {
    for (std::size_t i = 0; i < names.size() && i < SlotCount; ++i) {
        if (hasControlCharacter(names[i])) {
            throw std::invalid_argument("The process name in place " + std::to_string(i + 1) +
                                        " holds a line break or another control character");
        }
    }
    std::vector<std::pair<std::string, std::string>> values;
    values.reserve(SlotCount);
    for (int slot = 0; slot < SlotCount; ++slot) {
        const auto index = static_cast<std::size_t>(slot);
        values.emplace_back(slotKey(slot), index < names.size() ? names[index] : std::string());
    }
    WriteIniSettings(m_path, values);
}

std::string DisallowedStore::BuildDisallowedList() {
    std::string line;
    for (const auto& value : readSlots()) {
        if (value.size() > MinSentNameLength) {
            line += ';';
            line += value;
        }
    }
    return line;
}

} // namespace tavelcast
