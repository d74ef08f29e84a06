#include "simulation/vpc.h"

#include "simulation/time_bins.h"

namespace tessuvan::simulation {

namespace {

std::vector<VpcBin> Bins(const std::vector<VpcRow>& rows, const std::vector<std::vector<double>>& simulated,
                         const std::vector<double>& edges, const std::vector<double>& scale)
{
    std::vector<VpcBin> bins;
    const int count = int(edges.size()) - 1;
    std::vector<std::vector<std::size_t>> members(std::size_t(std::max(count, 0)));
    for (std::size_t j = 0; j < rows.size(); ++j)
        if (const int b = BinOf(edges, rows[j].time); b >= 0) members[std::size_t(b)].push_back(j);
    for (int b = 0; b < count; ++b) {
        const std::vector<std::size_t>& in = members[std::size_t(b)];
        if (in.empty()) continue;
        VpcBin bin;
        bin.low = edges[std::size_t(b)];
        bin.high = edges[std::size_t(b) + 1];
        bin.observations = int(in.size());
        std::vector<double> times, observed;
        for (std::size_t j : in) {
            times.push_back(rows[j].time);
            observed.push_back(rows[j].observed * scale[j]);
        }
        bin.timeMedian = Percentile(times, 0.5);
        std::array<std::vector<double>, 3> percentiles;  // [level][replicate]
        for (const std::vector<double>& replicate : simulated) {
            std::vector<double> values;
            for (std::size_t j : in) values.push_back(replicate[j] * scale[j]);
            for (std::size_t l = 0; l < 3; ++l) percentiles[l].push_back(Percentile(values, kVpcLevels[l]));
        }
        for (std::size_t l = 0; l < 3; ++l) {
            bin.observed[l] = Percentile(observed, kVpcLevels[l]);
            for (std::size_t q = 0; q < 3; ++q) bin.simulated[l][q] = Percentile(percentiles[l], kVpcLevels[q]);
        }
        bins.push_back(bin);
    }
    return bins;
}

}  // namespace

Vpc ComputeVpc(const std::vector<VpcRow>& rows, const std::vector<std::vector<double>>& simulated,
               const std::vector<double>& edges)
{
    Vpc vpc;
    vpc.plain = Bins(rows, simulated, edges, std::vector<double>(rows.size(), 1.0));
    // The bin's median PRED over its rows, then each row's factor.
    std::vector<double> scale(rows.size(), 1.0);
    const int count = int(edges.size()) - 1;
    for (int b = 0; b < count; ++b) {
        std::vector<double> preds;
        for (const VpcRow& row : rows)
            if (BinOf(edges, row.time) == b) preds.push_back(row.pred);
        if (preds.empty()) continue;
        const double median = Percentile(preds, 0.5);
        for (std::size_t j = 0; j < rows.size(); ++j)
            if (BinOf(edges, rows[j].time) == b && rows[j].pred > 0) scale[j] = median / rows[j].pred;
    }
    vpc.corrected = Bins(rows, simulated, edges, scale);
    return vpc;
}

}  // namespace tessuvan::simulation
