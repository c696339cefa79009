#include "SnapshotVerifier.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tavelcast::sim {

std::string serverFileName(std::uint32_t sourceAddress, VerifyName naming) {
    if (naming == VerifyName::Ip) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(sourceAddress);
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                          sizeof host, nullptr, 0, NI_NAMEREQD) == 0) {
            return host;
        }
    }
    return dottedAddress(sourceAddress);
}

VerifyResult verifySnapshots(const std::string& dir, VerifyName naming,
                             const std::vector<std::unique_ptr<Pupil>>& pupils) {
    VerifyResult result;
    std::map<std::string, std::vector<Payload>> expected; // file name -> acceptable contents
    for (const auto& pupil : pupils) {
        auto candidates = pupil->verifyCandidates();
        if (candidates.empty() || pupil->sourceAddress() == 0) {
            ++result.pupilsWithoutSnapshot;
            continue;
        }
        auto& slot = expected[serverFileName(pupil->sourceAddress(), naming)];
        slot.insert(slot.end(), candidates.begin(), candidates.end());
    }
    for (const auto& [name, candidates] : expected) {
        ++result.filesChecked;
        const std::filesystem::path path = std::filesystem::path(dir) / (name + ".jpg");
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            ++result.missing;
            ++result.mismatches;
            result.mismatchedFiles.push_back(path.string() + " (missing)");
            continue;
        }
        const std::vector<std::uint8_t> stored((std::istreambuf_iterator<char>(file)),
                                               std::istreambuf_iterator<char>());
        const bool match = std::any_of(candidates.begin(), candidates.end(),
                                       [&](const Payload& p) { return *p == stored; });
        if (match) {
            ++result.matches;
        } else {
            ++result.mismatches;
            result.mismatchedFiles.push_back(path.string());
        }
    }
    return result;
}

} // namespace tavelcast::sim
