#pragma once

#include "LatencySummary.h"
#include "Pupil.h"
#include "SnapshotVerifier.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavelcast::sim {

// The summary printed at the end of a run.
class RunReport {
public:
    RunReport(const SimOptions& options, const std::vector<std::unique_ptr<Pupil>>& pupils,
              double elapsedSeconds, std::string endReason, bool readyFileWritten,
              std::optional<VerifyResult> verify);

    const PupilStats& totals() const { return m_totals; }
    const std::optional<VerifyResult>& verify() const { return m_verify; }

    std::string toText() const;
    std::string toJson() const;

private:
    const SimOptions& m_options;
    const std::vector<std::unique_ptr<Pupil>>& m_pupils;
    double m_elapsedSeconds;
    std::string m_endReason;
    bool m_readyFileWritten;
    std::optional<VerifyResult> m_verify;
    PupilStats m_totals;
    LatencySummary m_latency;
};

// A JSON string literal for text (quotes included).
std::string jsonString(std::string_view text);

} // namespace tavelcast::sim
