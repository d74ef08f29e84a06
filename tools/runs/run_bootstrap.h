// The refits of a bootstrap (simulation/bootstrap.h draws the samples): each sample of the
// individuals estimated again by FOCEI, started at the fit's estimates, without the covariance
// step (the spread of the samples' estimates is the point, not their standard errors), in
// engine states of its own, samples side by side in threads; a sample's numbers are the same
// whichever thread fits it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_input.h"
#include "estimation/focei.h"
#include "model/model_file.h"
#include "population/population_json.h"
#include "simulation/bootstrap.h"

namespace tessuvan::cli {

// One estimate a sample reports: a typical value, a variance of Ω (or, within a block, a
// covariance, named "a:b"), a residual error ("additive" SD or "proportional" fraction).
struct BootstrapEstimate {
    std::string kind;  // "theta", "omega", "sigma"
    std::string name;
};

// The estimated (not fixed) θ, Ω and σ of the problem, in that order; of a block of Ω its
// variances and then its covariances row by row.
std::vector<BootstrapEstimate> BootstrapEstimatesOf(const estimation::FoceiProblem& problem);

// The values of `estimates` in a fit's results (NaN where it gives none).
std::vector<double> EstimateValues(const std::vector<BootstrapEstimate>& estimates,
                                   const population::PopulationValues& values);
population::PopulationValues ValuesOf(const estimation::FoceiResult& fit);

// The problem started at the fit's values: θ, every η's variance, the blocks' covariances, σ.
// Throws ModelError naming the estimate the results lack.
void StartAt(const population::PopulationValues& values, estimation::FoceiProblem& problem);

struct BootstrapFit {
    int sample = 0;
    enum class Status { Converged, NotConverged, Failed } status = Status::Failed;
    double minus2ll = 0;            // NaN when failed
    std::vector<double> estimates;  // in the order of BootstrapEstimatesOf; NaN when failed
    std::string message;            // why it did not converge, or failed
};
const char* StatusWord(BootstrapFit::Status status);  // "converged", "not_converged", "failed"

// Called after each sample with the share of the range done, one thread at a time; an
// exception it throws (a cancellation) ends the run with it.
using BootstrapProgress = std::function<void(double fraction)>;

// The samples of `range` of the problem's individuals (strata: [individual] its stratum),
// `start` holding the fit's values and every individual's observations. An engine error or a
// non-finite −2LL fails the sample alone; anything else ends the run with the earliest sample's.
std::vector<BootstrapFit> RunBootstrap(const Model& model, const EngineProblem& problem,
                                       const estimation::FoceiProblem& start, const std::vector<int>& strata,
                                       std::uint64_t seed, const simulation::BootstrapRange& range, int threads,
                                       const BootstrapProgress& progress);

}  // namespace tessuvan::cli
