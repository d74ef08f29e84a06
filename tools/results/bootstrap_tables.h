// The files of a bootstrap, and the joining of its shards.
//
//   bootstrap.csv          sample, status (converged, not_converged, failed), minus2ll and every
//                          estimate (theta_<name>, omega_<name> or omega_<a>:<b>, sigma_<kind>),
//                          one row per sample in the order of the samples; numbers in the shortest
//                          text that reads back as the same double, empty where a sample failed
//   bootstrap_summary.csv  per estimate: the fit's own, and the median, 2.5th and 97.5th
//                          percentiles over the samples that ended with estimates
//   bootstrap.txt          the summary as a table, with the share of samples that converged
//   bootstrap.json         what was run: the fit and its digests, seed, samples, strata, the
//                          fit's estimates; a shard's also names its slice
//
// A shard writes its rows of bootstrap.csv and its bootstrap.json; `tessuvan merge` joins the
// rows in the samples' order and writes the summary and the description from them as one run
// does: byte for byte the same files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runs/run_bootstrap.h"

namespace tessuvan::cli {

// What the files are written from: the estimates' names and the fit's values of them, and the
// samples' fits. `description` is bootstrap.json without its "shard" member.
struct BootstrapTables {
    std::vector<BootstrapEstimate> estimates;
    std::vector<double> fitted;  // [estimate]: the fit's own
    std::vector<BootstrapFit> fits;
    nlohmann::ordered_json description;
};

// bootstrap.csv alone (a shard's rows, or all).
void WriteBootstrapRows(const std::filesystem::path& folder, const BootstrapTables& tables);
// bootstrap_summary.csv and bootstrap.txt; returns the text.
std::string WriteBootstrapSummary(const std::filesystem::path& folder, const BootstrapTables& tables);

// Joins the shard folders into `target` (an OutputFolder's staging folder): the four files.
// Throws std::runtime_error when the shards do not make one run.
void MergeBootstrapShards(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target);

// Whether the folder holds a bootstrap's results (bootstrap.json) rather than a simulation's.
bool IsBootstrapFolder(const std::filesystem::path& folder);

}  // namespace tessuvan::cli
