// One patient's parameters given a population model and the patient's levels: the maximum a
// posteriori (MAP) estimate of the random effects and the Laplace approximation about it.
//
// Prior: parameter p with a random effect is φ_p = θ_p·exp(η_e), η ~ N(0, Ω) (Ω the population
// fit's, in blocks of correlated η or diagonal); a level is y_j = f_j(φ) + ε_j, Var ε_j = V_j = a² + b²f_j². The objective
// is −2 log of the posterior density up to a constant,
//     l(η) = Σ_j [ ln(2π V_j) + (y_j − f_j)² / V_j ] + ηᵀ Ω⁻¹ η,
// a censored level (CENS) contributing −2 ln P(its interval) in place of its term: exactly the
// individual objective l_i that FOCEI minimises at each individual's mode, so that the MAP η of
// a fit's individual at the fit's θ, Ω, σ is that fit's own ETA. It is minimised by FOCEI's
// inner search (estimation/individual_modes.h: Newton steps with the exact Hessian K, from
// η = 0). The posterior covariance of η is the inverse Hessian of −log p at the mode, 2·K⁻¹.
//
// The forecast's uncertainty comes from draws of η from that normal approximation,
// N(η̂, 2K⁻¹) (the a priori forecast's from N(0, Ω)), each simulated: the percentiles of the
// predictions over the draws. The draws come from the replicates' random streams
// (simulation/random_stream.h), stream (seed, draw, 0), z in η's order, η = η̂ + L z, L Lᵀ the
// covariance (Cholesky).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include <Eigen/Dense>

#include "estimation/focei.h"
#include "estimation/simulator.h"
#include "simulation/replicates.h"

namespace tessuvan::forecast {

// The population model as a prior: θ (every model parameter), the η, Ω (Omega(): its blocks), σ.
using Prior = simulation::VariabilityModel;

struct Posterior {
    bool levels = false;          // false: no level, the prior itself (η̂ = 0, covariance Ω)
    bool converged = true;        // the Newton step left at the end is below 1e-6 in every η
    Eigen::VectorXd eta;          // η̂, in the order of prior.etas
    Eigen::MatrixXd covariance;   // of η: 2K⁻¹ at the mode
    double objective = 0;         // l(η̂)
    Eigen::VectorXd values;       // every model parameter at η̂ (those of formulas included)
    Eigen::VectorXd valueSe;      // their standard errors by the delta method (0: none)
    Eigen::VectorXd pred, ipred;  // of the levels, at η = 0 and at η̂
};

// Every model parameter's value at η (the typical values moved).
Eigen::VectorXd ValuesAt(const Prior& prior, const Eigen::VectorXd& eta);

// The predictions could not be computed (at the start of the search, or at the mode).
class SimulationFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `levels` simulates the patient's levels (one individual), y and censoring their values;
// throws SimulationFailed.
Posterior FindPosterior(const Prior& prior, estimation::Simulator& levels, const Eigen::VectorXd& y,
                        const estimation::Censoring& censoring);

// `count` draws of η from N(mean, covariance), as the header says, from the streams (seed,
// draw, stream). A covariance that is not positive definite (a variance of 0) is factored with
// its zero directions left out.
std::vector<Eigen::VectorXd> DrawEtas(const Eigen::VectorXd& mean, const Eigen::MatrixXd& covariance, int count,
                                      std::uint64_t seed, std::uint64_t stream);

// Sampling–importance resampling of the Laplace draws: `proposals` draws from N(η̂, Σ) (as
// DrawEtas, stream `stream`), each weighted by the posterior's density over the proposal's,
// w ∝ exp(−l(η)/2) / N(η; η̂, Σ) (0 for a draw whose levels cannot be simulated), and `count`
// of them drawn again with replacement, with probabilities w / Σw, by the uniforms of the stream
// (seed, 0, stream). The draws then follow the posterior itself where it departs from its normal
// approximation (a skewed or bounded direction), to within the proposals' reach.
struct Resampled {
    std::vector<Eigen::VectorXd> draws;
    double effectiveSize = 0;  // of the weighted proposals, (Σw)² / Σw²
};
Resampled ResampleEtas(const Prior& prior, estimation::Simulator& levels, const Eigen::VectorXd& y,
                       const estimation::Censoring& censoring, const Posterior& posterior, int count, int proposals,
                       std::uint64_t seed, std::uint64_t stream);

// The q-quantile of values (sorted here), interpolated linearly between order statistics
// (x_(h), h = (n − 1)q), the rule of R's type 7.
double Quantile(std::vector<double> values, double q);

}  // namespace tessuvan::forecast
