#include "simulation/vpc_blq.h"

#include <algorithm>
#include <cmath>

#include "simulation/time_bins.h"

namespace tessuvan::simulation {

bool SetLimits(std::vector<BlqRow>& rows, const std::vector<double>& ownLimit)
{
    double largest = -INFINITY;
    for (std::size_t j = 0; j < rows.size(); ++j)
        if (rows[j].below) largest = std::max(largest, ownLimit[j]);
    if (!std::isfinite(largest)) return false;
    for (std::size_t j = 0; j < rows.size(); ++j) rows[j].loq = rows[j].below ? ownLimit[j] : largest;
    return true;
}

std::vector<BlqBin> ComputeBlq(const std::vector<BlqRow>& rows, const ReplicateReplay& replay,
                               const std::vector<double>& edges)
{
    const int count = int(edges.size()) - 1;
    std::vector<std::vector<std::size_t>> members(std::size_t(std::max(count, 0)));
    for (std::size_t j = 0; j < rows.size(); ++j)
        if (const int b = BinOf(edges, rows[j].x); b >= 0) members[std::size_t(b)].push_back(j);
    // [bin][replicate]: the simulated fraction (a few numbers per replicate: kept in memory).
    std::vector<std::vector<double>> fractions(members.size());
    replay([&](const std::vector<double>& values) {
        for (std::size_t b = 0; b < members.size(); ++b) {
            if (members[b].empty()) continue;
            std::size_t below = 0;
            for (const std::size_t j : members[b]) below += values[j] < rows[j].loq;
            fractions[b].push_back(double(below) / double(members[b].size()));
        }
    });
    std::vector<BlqBin> bins;
    for (std::size_t b = 0; b < members.size(); ++b) {
        if (members[b].empty()) continue;
        BlqBin bin;
        bin.low = edges[b];
        bin.high = edges[b + 1];
        bin.rows = int(members[b].size());
        std::vector<double> xs;
        std::size_t below = 0;
        for (const std::size_t j : members[b]) {
            xs.push_back(rows[j].x);
            below += rows[j].below;
        }
        bin.xMedian = Percentile(xs, 0.5);
        bin.observed = double(below) / double(members[b].size());
        for (std::size_t q = 0; q < 3; ++q) bin.simulated[q] = Percentile(fractions[b], kVpcLevels[q]);
        bins.push_back(bin);
    }
    return bins;
}

}  // namespace tessuvan::simulation
