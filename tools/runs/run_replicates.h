// Replicates of a data set's design with variability, on the engine: the design's rows (its
// observations and EVID 2 rows, each answered by one engine output at one point), the
// variability of the model file or of a fit's results.json, and the runs of the replicates,
// block by block of the engine's capacity of individuals, each block loaded once and simulated
// for every replicate (simulation/replicates.h draws the numbers).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"
#include "population/population_json.h"
#include "simulation/replicates.h"

namespace tessuvan::cli {

// One simulated row of an individual: a row of the data set whose prediction is asked for.
struct DesignRow {
    int point = 0;           // 1-based point of the individual
    std::size_t slot = 0;    // engine output (0-based)
    std::size_t output = 0;  // model output (0-based)
    int line = 0;            // data set line
    double time = 0;         // as the data set gives it
    double dv = 0;           // the observation, 0 = none (an EVID 2 row, or not observed)
    int censored = 0;        // CENS of a censored observation kept (dv 0; the population estimation's)
};

// [individual][row], the rows of each individual in the data set's order.
using SimulationDesign = std::vector<std::vector<DesignRow>>;

SimulationDesign DesignOf(const EngineProblem& problem, const DataSet& data);

// θ from the model's values, Ω from its omegas and σ from its [error]; or, given a fit's
// results.json, θ, Ω and σ of the fit (the model's other values as they are). Throws
// ModelError when the results name a parameter the model lacks.
simulation::VariabilityModel VariabilityOf(const Model& model, const nlohmann::json* results = nullptr);
// Appends the κ of inter-occasion variability (model/occasions.h) to `variability`, independent,
// after every η: π² of the model file, or of a fit's iov (`fitted`, by parameter).
void AddOccasionEtas(const Model& model, const std::vector<std::pair<std::string, double>>* fitted,
                     simulation::VariabilityModel& variability);

// The blocks of Ω the model states, their covariances from a fit's whole Ω, and the η of
// `variability` in the blocks' order; `source` names the fit in messages ("results.json").
void SetFittedBlocks(const Model& model, const population::EstimatedOmega& fitted, const std::string& source,
                     simulation::VariabilityModel& variability);

// The residual errors of the model's [error] (or [error.NAME]) as `variability` draws them.
void SetModelErrors(const Model& model, simulation::VariabilityModel& variability);
// One estimated residual error term set in `variability`: "additive", "proportional" or
// "exponential", "OUTPUT:term" with an error model per output; `source` names the fit. Throws
// ModelError for a term or output the model does not have.
void SetSigma(const Model& model, const std::string& name, double value, const std::string& source,
              simulation::VariabilityModel& variability);

// Reads FOLDER/results.json; throws ModelError when it is missing or not a fit's results.
nlohmann::json ReadFitResults(const std::filesystem::path& fitFolder);

// The draws of a run, kept on disk as they are made rather than in memory (a replicate of the
// theophylline design is 2 KiB of numbers, a million of them 2 GiB): one file per unit of work
// (a block of individuals, a slice of the replicates), in which each replicate of the slice is
// one record of the block's individuals in the design's order, each individual's η, then its
// IPRED and its DV of every row, as native doubles. The folder is the draws' own, removed with
// them.
class ReplicateDraws {
public:
    struct Unit {
        std::size_t firstIndividual = 0, lastIndividual = 0;  // [first, last) of the design
        simulation::ReplicateRange replicates;
        std::filesystem::path file;
    };
    ReplicateDraws(std::filesystem::path folder, const SimulationDesign& design, std::size_t etas,
                   simulation::ReplicateRange range, std::vector<Unit> units);
    ~ReplicateDraws();
    ReplicateDraws(const ReplicateDraws&) = delete;
    ReplicateDraws& operator=(const ReplicateDraws&) = delete;

    const simulation::ReplicateRange& Range() const { return range_; }
    const std::vector<Unit>& Units() const { return units_; }

    // Every replicate of the run in order, each with all individuals of the design:
    // take(replicate, drawn[individual]). Throws std::runtime_error naming a file that cannot be
    // read back whole.
    void ForEach(const std::function<void(int replicate, const std::vector<simulation::SimulatedIndividual>& drawn)>&
                     take) const;

    // The record of one replicate of a unit: its individuals' numbers in the order above.
    static void Append(std::vector<double>& record, const std::vector<simulation::SimulatedIndividual>& drawn);

private:
    std::filesystem::path folder_;
    std::vector<std::size_t> rows_;  // [individual]: its rows in the design
    std::size_t etas_;
    simulation::ReplicateRange range_;
    std::vector<Unit> units_;
};

struct ReplicateRun {
    std::shared_ptr<const ReplicateDraws> draws;
    std::vector<Eigen::VectorXd> pred;  // [individual], when asked for
};

// The fraction of the work done; called by one thread at a time.
using RunProgress = std::function<void(double fraction)>;

// Runs in `threads` threads (blocks, and slices of the replicates, side by side); the result is
// the same for any number. Every replicate is checked as it is drawn (CheckReplicateUsable) and
// then written to its unit's file in a folder of the run's own in the system's temporary folder (TMPDIR). Throws
// EngineError when a block does not load or a simulation fails, ResultError for a value not usable: of several, the one
// of the earliest replicate, and of the first block among those, whatever the threads.
ReplicateRun RunReplicates(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                           const simulation::VariabilityModel& variability, std::uint64_t seed,
                           const simulation::ReplicateRange& range, bool typicalPredictions, int threads,
                           const RunProgress& progress);

// Predictions of every design row at the given values of each individual (every model
// parameter, in the model's order; for a model with every parameter fixed): [individual][row].
// Throws EngineError when a block does not load or a simulation fails.
std::vector<Eigen::VectorXd> DesignPredictions(const Model& model, const EngineProblem& problem,
                                               const SimulationDesign& design,
                                               const std::vector<Eigen::VectorXd>& values);

// The processors this process may run on, at most 8: the default number of threads.
int AvailableProcessors();

}  // namespace tessuvan::cli
