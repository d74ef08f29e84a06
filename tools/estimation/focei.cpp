#include "estimation/focei.h"

#include <cmath>

#include "estimation/covariance_step.h"
#include "estimation/focei_diagnostics.h"
#include "estimation/focei_objective.h"
#include "estimation/focei_parameters.h"
#include "estimation/individual_modes.h"
#include "estimation/outer_search.h"

namespace tessuvan::estimation {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using internal::kInfinity;

bool Converged(FoceiStatus status)
{
    return status == FoceiStatus::GradientVanished || status == FoceiStatus::NothingToEstimate;
}

FoceiResult EstimateFocei(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options)
{
    FoceiResult result;
    internal::Modes modes(problem, simulator, options);
    const internal::Packing packing(problem);
    internal::OuterContext context(modes, packing, options, internal::FoceiMinus2LL, internal::FoceiGradientAt);

    std::vector<double> x = packing.ToSearch(packing.Start());
    std::vector<double> low, high;
    packing.Bounds(low, high);
    const internal::OuterOutcome outcome = internal::SearchPopulationValues(context, x, low, high);
    result.status = outcome.status;
    result.summary = outcome.summary;
    result.evaluations = context.evaluations;

    // An estimate pressed against an edge of the search that is not a variance's floor (a
    // typical value a factor e³ from its start, a variance or residual error at its ceiling)
    // is no optimum: the caller is told, rather than reading it as one.
    for (std::size_t k = 0; k < packing.Size(); ++k) {
        const double margin = 1e-3;
        if (x[k] > high[k] - margin || (!packing.FloorIsZero(k) && x[k] < low[k] + margin))
            result.atSearchEdge.push_back(packing.Names()[k]);
    }
    x = packing.ToLog(x);  // from here on, the log parameters

    // The estimate, with tight modes.
    VectorXd logTheta;
    MatrixXd omega;
    ResidualErrors error;
    packing.Unpack(x, logTheta, omega, error);
    result.minus2ll = context.Evaluate(x, options.innerTolerance * 1e-2, nullptr);
    result.simulations = modes.simulations_;
    if (!std::isfinite(result.minus2ll)) {
        // Nothing to report of individuals whose predictions cannot be computed.
        result.status = FoceiStatus::NoFiniteObjective;
        return result;
    }
    if (result.status == FoceiStatus::NoFiniteObjective) result.status = FoceiStatus::Stopped;
    const std::vector<VectorXd> bestEta = modes.eta_;
    const std::vector<MatrixXd> bestG = modes.g_;

    MatrixXd covarianceLog;
    const VectorXd seLog = internal::CovarianceStep(context, x, low, result, covarianceLog);
    internal::NaturalEstimates(problem, packing, logTheta, omega, error, seLog, covarianceLog, result);
    internal::Criteria(problem, packing.Size(), result);
    internal::IndividualDiagnostics(modes, bestEta, bestG, omega, error, result);
    result.simulations = modes.simulations_;
    return result;
}

double FoceiObjective(const FoceiProblem& problem, Simulator& simulator, const VectorXd& theta,
                      const VectorXd& omegaDiagonal, const ResidualErrors& error, const FoceiOptions& options,
                      std::vector<VectorXd>& eta)
{
    internal::Modes modes(problem, simulator, options);
    modes.Set(theta.array().log().matrix(), MatrixXd(omegaDiagonal.asDiagonal()), error);
    if (eta.size() == modes.eta_.size()) modes.eta_ = eta;
    const double value = internal::FoceiMinus2LL(modes, options.innerTolerance);
    eta = modes.eta_;
    return value;
}

double FoceiGradient(const FoceiProblem& problem, Simulator& simulator, const std::vector<double>& x,
                     const FoceiOptions& options, VectorXd& gradient)
{
    internal::Modes modes(problem, simulator, options);
    const internal::Packing packing(problem);
    VectorXd logTheta;
    MatrixXd omega;
    ResidualErrors error;
    packing.Unpack(x, logTheta, omega, error);
    modes.Set(logTheta, omega, error);
    const double value = internal::FoceiMinus2LL(modes, options.innerTolerance);
    if (!std::isfinite(value) || !internal::FoceiGradientAt(modes, packing, gradient)) return kInfinity;
    return value;
}

}  // namespace tessuvan::estimation
