#include "simulation/vpc.h"

#include "simulation/order_statistics.h"
#include "simulation/time_bins.h"

namespace tessuvan::simulation {

Vpc ComputeVpc(const std::vector<VpcRow>& rows, std::size_t replicates, const ReplicateReplay& replay,
               const std::vector<double>& edges)
{
    const int count = int(edges.size()) - 1;
    std::vector<std::vector<std::size_t>> members(std::size_t(std::max(count, 0)));
    for (std::size_t j = 0; j < rows.size(); ++j)
        if (const int b = BinOf(edges, rows[j].time); b >= 0) members[std::size_t(b)].push_back(j);
    std::vector<std::size_t> used;  // the bins with observations
    for (std::size_t b = 0; b < members.size(); ++b)
        if (!members[b].empty()) used.push_back(b);

    // Plain, and prediction-corrected: the bin's median PRED over its rows, then each row's factor.
    std::array<std::vector<double>, 2> scale{std::vector<double>(rows.size(), 1.0),
                                             std::vector<double>(rows.size(), 1.0)};
    for (const std::size_t b : used) {
        std::vector<double> preds;
        for (const std::size_t j : members[b]) preds.push_back(rows[j].pred);
        const double median = Percentile(preds, 0.5);
        for (const std::size_t j : members[b])
            if (rows[j].pred > 0) scale[1][j] = median / rows[j].pred;
    }

    // Each replicate's percentiles of a bin, over the replicates: group (bin, variant, level).
    const auto groupOf = [](std::size_t u, std::size_t variant, std::size_t level) {
        return int((u * 2 + variant) * 3 + level);
    };
    std::vector<RankQuery> queries;
    if (replicates > 0)
        for (std::size_t u = 0; u < used.size(); ++u)
            for (std::size_t v = 0; v < 2; ++v)
                for (std::size_t l = 0; l < 3; ++l)
                    for (const double level : kVpcLevels) {
                        const auto [low, high] = PercentileRanks(replicates, level);
                        queries.push_back({groupOf(u, v, l), 0, low});
                        queries.push_back({groupOf(u, v, l), 0, high});
                    }
    const std::vector<double> selected = SelectRanks(
        int(used.size() * 6), 1,
        [&](const auto& take) {
            std::vector<double> values;
            replay([&](const std::vector<double>& replicate) {
                for (std::size_t u = 0; u < used.size(); ++u)
                    for (std::size_t v = 0; v < 2; ++v) {
                        values.clear();
                        for (const std::size_t j : members[used[u]]) values.push_back(replicate[j] * scale[v][j]);
                        for (std::size_t l = 0; l < 3; ++l) {
                            const double percentile = Percentile(values, kVpcLevels[l]);
                            take(groupOf(u, v, l), &percentile);
                        }
                    }
            });
        },
        queries);

    Vpc vpc;
    std::size_t at = 0;
    for (std::size_t u = 0; u < used.size(); ++u)
        for (std::size_t v = 0; v < 2; ++v) {
            const std::vector<std::size_t>& in = members[used[u]];
            VpcBin bin;
            bin.low = edges[used[u]];
            bin.high = edges[used[u] + 1];
            bin.observations = int(in.size());
            std::vector<double> times, observed;
            for (const std::size_t j : in) {
                times.push_back(rows[j].time);
                observed.push_back(rows[j].observed * scale[v][j]);
            }
            bin.timeMedian = Percentile(times, 0.5);
            for (std::size_t l = 0; l < 3; ++l) {
                bin.observed[l] = Percentile(observed, kVpcLevels[l]);
                for (std::size_t q = 0; q < 3; ++q) {
                    bin.simulated[l][q] =
                        replicates == 0 ? Percentile({}, kVpcLevels[q])
                                        : PercentileOfRanks(replicates, kVpcLevels[q], selected[at], selected[at + 1]);
                    if (replicates > 0) at += 2;
                }
            }
            (v == 0 ? vpc.plain : vpc.corrected).push_back(bin);
        }
    return vpc;
}

Vpc ComputeVpc(const std::vector<VpcRow>& rows, const std::vector<std::vector<double>>& simulated,
               const std::vector<double>& edges)
{
    return ComputeVpc(
        rows, simulated.size(),
        [&](const auto& take) {
            for (const std::vector<double>& replicate : simulated) take(replicate);
        },
        edges);
}

}  // namespace tessuvan::simulation
