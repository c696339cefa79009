#pragma once

#include <cstddef>
#include <vector>

namespace tavelcast::sim {

// Percentiles of a set of latencies in milliseconds (nearest-rank: the p-th percentile is
// the smallest sample with at least p% of the samples at or below it).
struct LatencySummary {
    std::size_t count = 0;
    double p50 = 0.0;
    double p90 = 0.0;
    double p99 = 0.0;
    double max = 0.0;

    // Sorts the samples in place. An empty set gives all zeros and count 0.
    static LatencySummary of(std::vector<double>& samplesMs);
};

// Nearest-rank percentile of sorted samples; p in (0, 100]. Empty input gives 0.
double nearestRank(const std::vector<double>& sorted, double p);

} // namespace tavelcast::sim
