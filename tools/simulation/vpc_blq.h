// The censored observations' panel of a visual predictive check: in every bin the fraction of
// the observations below the limit of quantification (LOQ), observed, beside the 5th, 50th and
// 95th percentiles over the replicates of the same fraction of their simulated values,
//     fraction_b = #{ j in b : y_j < LOQ_j } / n_b,
// LOQ_j being a censored row's own limit and, for a row above the limit, the largest limit of
// the output's censored rows (one LOQ for the whole assay, the usual case).
#pragma once

#include <array>
#include <vector>

#include "simulation/vpc.h"

namespace tessuvan::simulation {

struct BlqRow {
    double x = 0;        // time, or time after dose
    bool below = false;  // observed below its limit (CENS 1)
    double loq = 0;
};

struct BlqBin {
    double low = 0, high = 0;           // edges
    double xMedian = 0;                 // of the rows in the bin
    int rows = 0;                       // observations in the bin, censored or not
    double observed = 0;                // fraction below the LOQ
    std::array<double, 3> simulated{};  // its 5th, 50th and 95th percentile over the replicates
};

// The rows' LOQ set from their own limit (censored) or the largest of those (the others); false
// when no row is censored (then no panel).
bool SetLimits(std::vector<BlqRow>& rows, const std::vector<double>& ownLimit);

// `replay` gives each replicate's simulated values of the rows, once. Bins without rows are
// left out.
std::vector<BlqBin> ComputeBlq(const std::vector<BlqRow>& rows, const ReplicateReplay& replay,
                               const std::vector<double>& edges);

}  // namespace tessuvan::simulation
