// The files of a simulation with variability, and the joining of shards.
//
//   simulations.csv   REP, ID, TIME, OUTPUT, IPRED, DV and ETA_<name> of every η: one row per
//                     replicate, individual and simulated row, replicate by replicate, the
//                     individuals and their rows in the data set's order; numbers in the
//                     shortest text that reads back as the same double
//   summary.csv       per output and time bin (time_bins.h; bins of the rows of one
//                     replicate): the 5th, 50th and 95th percentiles of IPRED and DV of every
//                     replicate's rows in the bin together
//   simulation.json   what was run: seed, replicates, generator, files, bins; a shard's also
//                     names its slice
//
// A shard writes its slice of simulations.csv and its simulation.json; `tessuvan merge` joins
// the slices in their order, which is the order of one run of all replicates, and writes the
// summary and the description from them as that run does: byte for byte the same files.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runs/run_replicates.h"

namespace tessuvan::cli {

// Given edges, or a number of bins (0: the default rule of time_bins.h).
struct BinRule {
    int count = 0;
    std::vector<double> edges;
};

// simulations.csv of a run's draws, replicate by replicate as ReplicateDraws replays them.
void WriteSimulations(const std::filesystem::path& path, const Model& model, const EngineProblem& problem,
                      const SimulationDesign& design, const std::vector<std::string>& etaNames,
                      const ReplicateDraws& draws);

// What summary.csv is made of: the outputs in the order their rows first appear, the times of
// one replicate's rows of each (which the bins cut), and a replay of every row. A replay may be
// asked for several times (each value in it counts once per replay); the summary's percentiles
// are exact, from order statistics (simulation/order_statistics.h), in bounded memory.
struct SummaryRows {
    std::vector<std::string> outputs;
    std::vector<std::vector<double>> replicateTimes;  // [output]
    using Take = std::function<void(std::size_t output, double time, double ipred, double dv)>;
    std::function<void(const Take&)> replay;
};

// The summary rows of a run's draws.
SummaryRows SummaryRowsOf(const Model& model, const SimulationDesign& design, const ReplicateDraws& draws);

void WriteSummary(const std::filesystem::path& path, const SummaryRows& rows, const BinRule& bins);

// The text of a number that reads back as the same double.
std::string ExactNumber(double value);

// Joins the shard folders into `target` (an OutputFolder's staging folder): simulations.csv,
// summary.csv, simulation.json; the rows the summary reads wait in a file in `work`. Throws
// std::runtime_error when the shards do not make one run.
void MergeShards(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target,
                 const std::filesystem::path& work);

// Writes simulation.json: `description` with `shard` added when the run is one of several.
void WriteDescription(const std::filesystem::path& path, nlohmann::ordered_json description);

}  // namespace tessuvan::cli
