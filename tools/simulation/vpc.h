// The visual predictive check of one output: in every time bin the 5th, 50th and 95th
// percentiles of the observations beside the 90 % prediction intervals of the same
// percentiles of simulated replicates of the data set (5th, 50th, 95th percentile over the
// replicates of each), plain and prediction-corrected.
//
// Prediction correction (Bergstrand et al., AAPS J 2011): every value y of row j in bin b,
// observed or simulated, is scaled by the bin's typical prediction,
//     pcY = y · median_b(PRED) / PRED_j,
// PRED being the prediction at the typical values (η = 0); a row with PRED ≤ 0 keeps y.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

namespace tessuvan::simulation {

constexpr std::array<double, 3> kVpcLevels{0.05, 0.5, 0.95};

struct VpcRow {
    double time = 0;
    double observed = 0;
    double pred = 0;
};

struct VpcBin {
    double low = 0, high = 0;  // edges
    double timeMedian = 0;     // of the observations in the bin
    int observations = 0;
    std::array<double, 3> observed{};                  // [level]
    std::array<std::array<double, 3>, 3> simulated{};  // [level][5th, 50th, 95th over the replicates]
};

struct Vpc {
    std::vector<VpcBin> plain;
    std::vector<VpcBin> corrected;
};

// Gives each of the replicates' values in turn, values[j] of rows[j]; called once per pass of
// the percentiles over the replicates (simulation/order_statistics.h), so that no more than one
// replicate is held at a time.
using ReplicateReplay = std::function<void(const std::function<void(const std::vector<double>& values)>& take)>;

// `replicates` is the count of replicates the replay gives. Bins without observations are left out.
Vpc ComputeVpc(const std::vector<VpcRow>& rows, std::size_t replicates, const ReplicateReplay& replay,
               const std::vector<double>& edges);

// simulated[r][j]: replicate r's value of rows[j].
Vpc ComputeVpc(const std::vector<VpcRow>& rows, const std::vector<std::vector<double>>& simulated,
               const std::vector<double>& edges);

}  // namespace tessuvan::simulation
