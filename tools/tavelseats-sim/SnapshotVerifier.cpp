#include "SnapshotVerifier.h"

#include "net/NameResolver.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tavelcast::sim {

std::string serverFileName(std::uint32_t sourceAddress, VerifyName naming) {
    if (naming == VerifyName::Ip) {
        // The server's own rule: the reverse name when there is a safe one, else the address.
        static HostNames hostNames(std::make_shared<GetnameinfoResolver>());
        return hostNames.hostNameFor(dottedAddress(sourceAddress));
    }
    return dottedAddress(sourceAddress);
}

namespace {

// Reverse lookups can be slow (a resolver that drops a query costs its whole timeout), so
// the distinct source addresses are resolved by a few threads at once.
std::map<std::uint32_t, std::string>
serverFileNames(const std::vector<std::unique_ptr<Pupil>>& pupils, VerifyName naming) {
    std::vector<std::uint32_t> addresses;
    for (const auto& pupil : pupils) {
        if (pupil->sourceAddress() != 0) {
            addresses.push_back(pupil->sourceAddress());
        }
    }
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());

    std::vector<std::string> names(addresses.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < addresses.size(); i = next++) {
            names[i] = serverFileName(addresses[i], naming);
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t count = std::min<std::size_t>(addresses.size(), 8);
        for (std::size_t i = 1; i < count; ++i) {
            workers.emplace_back(worker);
        }
        worker();
    } // joined here

    std::map<std::uint32_t, std::string> byAddress;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        byAddress.emplace(addresses[i], std::move(names[i]));
    }
    return byAddress;
}

} // namespace

VerifyResult verifySnapshots(const std::string& dir, VerifyName naming,
                             const std::vector<std::unique_ptr<Pupil>>& pupils) {
    VerifyResult result;
    const auto names = serverFileNames(pupils, naming);
    std::map<std::string, std::vector<Payload>> expected; // file name -> acceptable contents
    for (const auto& pupil : pupils) {
        auto candidates = pupil->verifyCandidates();
        if (candidates.empty() || pupil->sourceAddress() == 0) {
            ++result.pupilsWithoutSnapshot;
            continue;
        }
        auto& slot = expected[names.at(pupil->sourceAddress())];
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
