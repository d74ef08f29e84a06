// A fit's, a simulation's or a VPC's tables in memory, for hosts that show them as their own data frames
// (the R and Python bindings): the CSV files and results.json that Write puts into a results
// folder, and the text report, with no plots and no report.html (no gnuplot, no output folder).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "toolkit/toolkit.h"

namespace tessuvan::toolkit {

struct Tables {
    std::string report;                                      // report.txt
    std::vector<std::pair<std::string, std::string>> files;  // name ("predictions.csv"), content
    // The content of the named file; empty when the kind of run writes no such file.
    const std::string& File(const std::string& name) const;
};

// Throws WriteError when the scratch folder the tables pass through cannot be written.
Tables TablesOf(const FitResult& fit);
Tables TablesOf(const Simulation& simulation);
Tables TablesOf(const VpcResult& vpc);  // vpc.csv (and vpc_blq.csv with censored rows)

}  // namespace tessuvan::toolkit
