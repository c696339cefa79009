#include "RecordFile.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <tuple>

namespace tavelcast::sim {

std::string escapeRecordText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

bool writeRecordFile(const std::string& path, const std::vector<std::unique_ptr<Pupil>>& pupils) {
    struct Ref {
        std::int64_t ms;
        std::size_t pupil;
        std::size_t event;
    };
    std::vector<Ref> order;
    for (std::size_t p = 0; p < pupils.size(); ++p) {
        const auto& events = pupils[p]->events();
        for (std::size_t e = 0; e < events.size(); ++e) {
            order.push_back({events[e].ms, p, e});
        }
    }
    std::sort(order.begin(), order.end(), [](const Ref& a, const Ref& b) {
        return std::tie(a.ms, a.pupil, a.event) < std::tie(b.ms, b.pupil, b.event);
    });

    const std::string temporary = path + ".writing";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        for (const Ref& ref : order) {
            const RecordedEvent& event = pupils[ref.pupil]->events()[ref.event];
            out << event.ms << ' ' << pupils[ref.pupil]->name() << ' '
                << escapeRecordText(event.word);
            if (event.hasArgument) {
                out << ' ' << escapeRecordText(event.argument);
            }
            out << '\n';
        }
        out.flush();
        if (!out) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace tavelcast::sim
