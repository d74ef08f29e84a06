// The files of a visual predictive check: vpc.csv (the numbers of every output, plain and
// prediction-corrected, bin by bin) and vpc.png (drawn by gnuplot: per output the plain and
// the prediction-corrected check side by side, the observations as points, their percentiles
// as lines, the 90 % prediction intervals of the simulated percentiles as bands).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "simulation/vpc.h"

namespace tessuvan::cli {

struct OutputVpc {
    std::string output;
    std::vector<simulation::VpcRow> rows;  // the observations, for the points
    simulation::Vpc vpc;
};

void WriteVpcCsv(const std::vector<OutputVpc>& vpcs, const std::filesystem::path& folder);
// Throws with the reason when gnuplot cannot draw it.
void WriteVpcPlot(const std::vector<OutputVpc>& vpcs, const std::filesystem::path& folder,
                  const std::filesystem::path& scratch);

}  // namespace tessuvan::cli
