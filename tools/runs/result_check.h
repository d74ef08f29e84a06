// Numbers a run hands on to its results are checked before anything is written: the engine
// answers a quotient by a divisor not above 1e-130 in magnitude with 1e130 in its place (no
// fault), so a value that large is that stand-in, never a prediction, and is refused with the
// infinities and NaNs (a volume of 0, an overflow, ω = inf, a dose of 1e308).
#pragma once

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "engine/engine_input.h"
#include "model/model_file.h"
#include "runs/run.h"
#include "runs/run_replicates.h"

namespace tessuvan::cli {

// A run that produced numbers that are no results: the engine's failure (status 3).
class ResultError : public std::runtime_error {
public:
    ResultError(const std::string& message) : std::runtime_error(Printable(message)) {}
};

constexpr double kEngineStandIn = 1e130;  // src/formula/step_arithmetic.h

// The stand-in reaches a prediction through the engine's arithmetic (a product, a single's
// rounding), which leaves it a few units of 1e-16 below 1e130: the margin takes those in.
inline bool Usable(double value) { return std::isfinite(value) && std::fabs(value) < kEngineStandIn * (1 - 1e-9); }

// Every simulated η, IPRED and DV of one replicate of individuals firstIndividual, ... of the
// design (drawn[i − firstIndividual]); throws ResultError naming the output, the individual,
// the time and the replicate of the first not usable.
void CheckReplicateUsable(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                          std::size_t firstIndividual, int replicate,
                          const std::vector<simulation::SimulatedIndividual>& drawn);
// The same of the predictions at the typical values (PRED), pred[i − firstIndividual].
void CheckPredictionsUsable(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                            std::size_t firstIndividual, const std::vector<Eigen::VectorXd>& pred);

// θ, ω² (≥ 0) and σ (≥ 0) of the variability: from the model file (`source` empty; a ModelError
// naming its key) or from a fit's results.json (a ModelError naming that file and its key).
void CheckVariabilityUsable(const Model& model, const simulation::VariabilityModel& variability,
                            const std::string& resultsFile);

// The objectives and estimates of a fit or simulation, unless the model file keeps
// non-finite predictions (fit.allow_non_finite); throws ResultError naming the value.
void CheckRunUsable(const Model& model, const RunResult& result);

}  // namespace tessuvan::cli
