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

// simulated[r][j]: replicate r's value of rows[j]. Bins without observations are left out.
Vpc ComputeVpc(const std::vector<VpcRow>& rows, const std::vector<std::vector<double>>& simulated,
               const std::vector<double>& edges);

}  // namespace tessuvan::simulation
