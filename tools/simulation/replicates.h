// Replicates of a design with between-subject variability and residual error, over any
// simulator (the engine, or a closed form in the tests).
//
// In replicate r each individual i (numbered over the whole design, whatever block of the
// simulator holds it) draws from its own stream (random_stream.h) first its random effects,
// block after block of Ω, each from as many z as it has η, in the block's order,
//     η_b = L_b·z,  L_b L_bᵀ = Ω_b,     φ_p = θ_p·exp(η_e)  for the parameter p of η_e
// (φ_p = θ_p + η_e on the linear scale, expit(logit θ_p + η_e) on the logit),
// (for a diagonal Ω, η_e = ω_e·z in the order of `etas`),
// then one z per simulated row, in the row order of the simulator,
//     DV = IPRED + √V(IPRED)·z,         V(f) = a² + b²·f²  (estimation::ResidualError),
// or DV = IPRED·exp(σ·z) for an exponential error; each row by its output's error model.
// Replicates are numbered 1..N for the whole run; a shard K of M runs the K-th of M contiguous
// slices of them, so that the shards together draw exactly what one run of all draws.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "estimation/focei.h"
#include "estimation/simulator.h"
#include "population/population_model.h"

namespace tessuvan::simulation {

struct VariabilityModel {
    Eigen::VectorXd typical;  // every model parameter (one the simulator computes by formula: any value)
    struct Eta {
        std::string name;
        std::size_t parameter = 0;  // 0-based model parameter it multiplies by exp(η)
        double variance = 0;        // ω²
    };
    std::vector<Eta> etas;
    // Ω in blocks over the η of `etas`, in their order; none: diagonal, the variances of `etas`.
    std::vector<population::OmegaBlock> blocks;
    estimation::ResidualError error;  // of every row, unless outputErrors
    // With an error model per output: [output] the error of each (in the model's outputs' order),
    // and [individual of the design][row] the output of each simulated row.
    std::vector<estimation::ResidualError> outputErrors;
    std::vector<std::vector<int>> rowOutput;
    const estimation::ResidualError& ErrorOf(std::size_t individual, Eigen::Index row) const
    {
        return outputErrors.empty() ? error
                                    : outputErrors.at(std::size_t(rowOutput.at(individual).at(std::size_t(row))));
    }
    // [parameter]: the scale on which its η adds (φ = h(k(θ) + η)); empty: log-normal, φ = θ·exp(η).
    std::vector<population::Scale> scales;

    population::Scale ScaleOf(std::size_t parameter) const
    {
        return parameter < scales.size() ? scales[parameter] : population::Scale::Log;
    }
    population::Omega Omega() const;
};

// The K-th (1-based) of M disjoint slices of replicates 1..N.
struct Shard {
    int index = 1;
    int count = 1;
};

struct ReplicateRange {
    int first = 1;  // 1-based, inclusive
    int last = 0;   // inclusive; last < first: none
    int Size() const { return last >= first ? last - first + 1 : 0; }
};

// Replicates floor((K−1)·N/M) + 1 to floor(K·N/M).
ReplicateRange ShardReplicates(int replicates, const Shard& shard);

struct SimulatedIndividual {
    Eigen::VectorXd eta;    // [e]
    Eigen::VectorXd ipred;  // [row]: the prediction at the individual's values
    Eigen::VectorXd dv;     // [row]: with its residual error
};

// Called with the simulator's individuals of each replicate as soon as they are drawn, in the
// order of the range; false stops the simulation there (not a failure).
using ReplicateTake = std::function<bool(int replicate, const std::vector<SimulatedIndividual>& drawn)>;

// Simulates `range` for the simulator's individuals, which are individuals firstIndividual,
// firstIndividual + 1, ... of the design (0-based), and hands each replicate to `take`. False
// when a simulation failed; `failedReplicate` then names it.
bool SimulateReplicates(const VariabilityModel& model, estimation::Simulator& simulator, std::uint64_t seed,
                        std::size_t firstIndividual, const ReplicateRange& range, const ReplicateTake& take,
                        int& failedReplicate);

// Called after every replicate: replicates done.
using ReplicateProgress = std::function<void(int done)>;

// The same, every replicate kept: result[r − range.first][i].
bool SimulateReplicates(const VariabilityModel& model, estimation::Simulator& simulator, std::uint64_t seed,
                        std::size_t firstIndividual, const ReplicateRange& range,
                        std::vector<std::vector<SimulatedIndividual>>& result, int& failedReplicate,
                        const ReplicateProgress& progress = {});

// Predictions at the typical values (η = 0, no residual error): PRED.
bool TypicalPredictions(const VariabilityModel& model, estimation::Simulator& simulator,
                        std::vector<Eigen::VectorXd>& pred);

}  // namespace tessuvan::simulation
