#include "LatencySummary.h"

#include <algorithm>
#include <cmath>

namespace tavelcast::sim {

double nearestRank(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const auto index = static_cast<std::size_t>(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return sorted[index];
}

LatencySummary LatencySummary::of(std::vector<double>& samplesMs) {
    LatencySummary summary;
    summary.count = samplesMs.size();
    if (samplesMs.empty()) {
        return summary;
    }
    std::sort(samplesMs.begin(), samplesMs.end());
    summary.p50 = nearestRank(samplesMs, 50);
    summary.p90 = nearestRank(samplesMs, 90);
    summary.p99 = nearestRank(samplesMs, 99);
    summary.max = samplesMs.back();
    return summary;
}

} // namespace tavelcast::sim
