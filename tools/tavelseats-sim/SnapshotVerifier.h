#pragma once

#include "Pupil.h"
#include "SimOptions.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tavelcast::sim {

struct VerifyResult {
    std::size_t filesChecked = 0;
    std::size_t matches = 0;
    std::size_t mismatches = 0; // missing files included
    std::size_t missing = 0;
    std::size_t pupilsWithoutSnapshot = 0; // nothing sent, nothing to check
    std::vector<std::string> mismatchedFiles;

    // Nothing checked is a failure too: a verification that saw nothing proves nothing.
    bool passed() const { return filesChecked > 0 && mismatches == 0; }
};

// The file name (without ".jpg") the server uses for a source address: the reverse-lookup
// host name, or the dotted address when there is none (VerifyName::Ip); always the dotted
// address with VerifyName::Dotted.
std::string serverFileName(std::uint32_t sourceAddress, VerifyName naming);

// Checks dir/<name>.jpg against the snapshots the pupils sent. Pupils that share a file name
// (one host, several pupils) share one file: it must equal a snapshot one of them may have
// left last.
VerifyResult verifySnapshots(const std::string& dir, VerifyName naming,
                             const std::vector<std::unique_ptr<Pupil>>& pupils);

} // namespace tavelcast::sim
