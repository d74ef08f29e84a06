// The files of a visual predictive check: vpc.csv (the numbers of every output, plain and
// prediction-corrected, bin by bin; of every stratum), vpc_blq.csv (the fraction below the
// limit of quantification, when the data have censored rows) and vpc.png (drawn by gnuplot:
// per output and stratum the plain and the prediction-corrected check side by side, the
// observations as points, their percentiles as lines, the 90 % prediction intervals of the
// simulated percentiles as bands; and the fraction below the limit beside them).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "simulation/vpc.h"
#include "simulation/vpc_blq.h"

namespace tessuvan::cli {

struct OutputVpc {
    std::string output;
    std::string stratum;                   // "WT 52 to 70", "DOSE 100"; empty: no strata
    std::string unit;                      // of the output, from the model file; empty: none
    std::vector<simulation::VpcRow> rows;  // the observations, for the points (time: the x)
    simulation::Vpc vpc;
    std::vector<simulation::BlqBin> blq;  // empty: no censored rows
};

// How the check is shown: its x, and the concentration axis.
struct VpcAxes {
    bool timeAfterDose = false;  // x: the time after the last dose, not the time
    std::string timeUnit;        // from the model file; empty: none
    bool log = false;            // a logarithmic concentration axis
};

// vpc.csv; with censored rows also vpc_blq.csv. The files written.
std::vector<std::string> WriteVpcCsv(const std::vector<OutputVpc>& vpcs, const VpcAxes& axes,
                                     const std::filesystem::path& folder);
// Throws with the reason when gnuplot cannot draw it.
void WriteVpcPlot(const std::vector<OutputVpc>& vpcs, const VpcAxes& axes, const std::filesystem::path& folder,
                  const std::filesystem::path& scratch);

}  // namespace tessuvan::cli
