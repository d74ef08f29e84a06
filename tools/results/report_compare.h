// Runs side by side: the FOCEI fits of several folders, each by its results.json, as one table
// of −2LL, its difference from the first run (ΔOFV), AIC, BIC, the number of estimated
// parameters, the condition number and convergence, then every estimate by run.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tessuvan::cli {

// Throws ModelError naming the file when a folder holds no fit's results.json, or one that is
// not a population estimation's.
std::string ComparisonTable(const std::vector<std::filesystem::path>& fits);

}  // namespace tessuvan::cli
