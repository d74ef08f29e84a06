#include "estimation/outer_search.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <nlopt.hpp>

namespace tessuvan::estimation::internal {

using Eigen::MatrixXd;
using Eigen::VectorXd;

void OuterContext::WarmStart(const std::vector<double>& x)
{
    if (bestEta.empty()) return;
    modes->eta_ = bestEta;
    if (bestSensitivity.size() != bestEta.size()) return;
    VectorXd dx(Eigen::Index(x.size()));
    for (std::size_t k = 0; k < x.size(); ++k) dx[Eigen::Index(k)] = x[k] - bestX[k];
    if (dx.lpNorm<Eigen::Infinity>() > 0.5) return;  // too far for a first-order prediction
    for (std::size_t i = 0; i < bestEta.size(); ++i)
        if (bestSensitivity[i].cols() == dx.size()) modes->eta_[i] += bestSensitivity[i] * dx;
}

double OuterContext::Evaluate(const std::vector<double>& x, double tolerance, VectorXd* gradient)
{
    VectorXd logTheta;
    MatrixXd omega;
    ResidualErrors error;
    packing->Unpack(x, logTheta, omega, error);
    modes->Set(logTheta, omega, error);
    WarmStart(x);
    double value = objective(*modes, tolerance);
    if (gradient && std::isfinite(value) && !gradientOf(*modes, *packing, *gradient)) value = kInfinity;
    return value;
}

namespace {

double OuterObjective(unsigned n, const double* x, double* gradient, void* data)
{
    auto& context = *static_cast<OuterContext*>(data);
    const std::vector<double> search(x, x + n);
    const std::vector<double> point = context.packing->ToLog(search);
    // A trial whose typical values lie further than the trust radius from the best point's (in
    // ln θ) is a wall the line search backs away from, refused before it is evaluated: the
    // quasi-Newton's first trial is the start minus the raw gradient, whose size (hundreds, with
    // hundreds of observations) throws it to the edges of the search, where modes run into
    // corners of the parameters the engine can integrate only in its ceiling of steps, if at
    // all. Variances and residual errors change no simulation and are free to move.
    bool far = false;
    if (!context.bestX.empty())
        for (unsigned k = 0; k < n; ++k)
            far = far || (context.packing->KindOf(k) == Packing::Kind::Theta &&
                          std::fabs(point[k] - context.bestX[k]) >
                              context.options->trustRadius * context.packing->TrustScale(k));
    VectorXd g;
    const double value =
        far ? kInfinity : context.Evaluate(point, context.options->innerTolerance, gradient ? &g : nullptr);
    if (!far) ++context.evaluations;
    if (value < context.best) {
        context.best = value;
        context.bestEta = context.modes->eta_;
        context.bestX = point;
        context.bestSearch = search;
        context.bestSensitivity = gradient ? context.modes->sensitivity_ : std::vector<MatrixXd>();
        context.bestGradient = g;
    }
    if (context.options->progress && !far) context.options->progress(context.evaluations, context.best);
    if (!std::isfinite(value)) {
        // Outside where the model can be evaluated: a wall the line search backs away from.
        if (gradient) std::fill(gradient, gradient + n, 0.0);
        return 1e300;
    }
    if (gradient)
        for (unsigned k = 0; k < n; ++k) gradient[k] = g[Eigen::Index(k)] * context.packing->LogPerSearch(k, x[k]);
    return value;
}

// Whether the best point is a minimum within the bounds: no component of the gradient above
// the tolerance, except those pressing against a bound the point is at.
bool Stationary(const OuterContext& context, const std::vector<double>& low, const std::vector<double>& high)
{
    const std::size_t m = low.size();
    if (context.bestGradient.size() != Eigen::Index(m)) return false;
    for (std::size_t k = 0; k < m; ++k) {
        const double g = context.bestGradient[Eigen::Index(k)];
        const bool pressing =
            (g > 0 && context.bestSearch[k] <= low[k] + 1e-9) || (g < 0 && context.bestSearch[k] >= high[k] - 1e-9);
        if (!pressing && std::fabs(g) > context.options->gradientTolerance) return false;
    }
    return true;
}

// How one run of the quasi-Newton stopped.
struct Stop {
    FoceiStatus status = FoceiStatus::Stopped;  // the status it gives when the point is no minimum
    std::string text;
};

Stop StopOf(nlopt::result status)
{
    switch (status) {
        case nlopt::MAXEVAL_REACHED:
            return {FoceiStatus::EvaluationLimit, "the evaluation limit was reached"};
        case nlopt::FTOL_REACHED:
            return {FoceiStatus::ObjectiveChangeSmall, "-2LL changed by less than the tolerance"};
        case nlopt::XTOL_REACHED:
            return {FoceiStatus::StepSmall, "the parameters changed by less than the tolerance"};
        case nlopt::SUCCESS:
            return {FoceiStatus::Stopped, "the gradient vanished"};
        default:
            return {FoceiStatus::Stopped, "stopped (" + std::to_string(int(status)) + ")"};
    }
}

// L-BFGS may stop on a small change of −2LL (or give up in its line search) short of the
// minimum: it starts again from the best point, with a fresh curvature memory, until the
// gradient there vanishes within its tolerance, the evaluations run out or nothing is finite.
// Returns the last run's stop; converged tells whether the best point is a minimum.
Stop SearchWithRestarts(nlopt::opt& optimiser, std::vector<double>& x, OuterContext& context,
                        const std::vector<double>& low, const std::vector<double>& high, bool& converged)
{
    Stop stop;
    for (int attempt = 0; attempt <= context.options->outerRestarts; ++attempt) {
        double value = 0;
        try {
            stop = StopOf(optimiser.optimize(x, value));
        } catch (const std::exception& error) {
            // NLopt's line search gives up where −2LL's changes drown in the noise of the
            // modes: a minimum when the gradient there says so.
            stop = {FoceiStatus::LineSearchFailed, std::string("the optimisation failed: ") + error.what()};
        }
        if (!context.bestSearch.empty()) x = context.bestSearch;
        converged = Stationary(context, low, high);
        if (converged || stop.status == FoceiStatus::EvaluationLimit || !std::isfinite(context.best)) break;
    }
    return stop;
}

}  // namespace

OuterOutcome SearchPopulationValues(OuterContext& context, std::vector<double>& x, const std::vector<double>& low,
                                    const std::vector<double>& high)
{
    const Packing& packing = *context.packing;
    const FoceiOptions& options = *context.options;
    Modes& modes = *context.modes;
    OuterOutcome outcome;
    if (packing.Size() == 0) {
        outcome.status = FoceiStatus::NothingToEstimate;
        outcome.summary = "nothing to estimate";
        return outcome;
    }
    nlopt::opt optimiser(nlopt::LD_LBFGS, unsigned(packing.Size()));
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::clamp(x[k], low[k], high[k]);
    optimiser.set_lower_bounds(low);
    optimiser.set_upper_bounds(high);
    optimiser.set_min_objective(OuterObjective, &context);
    optimiser.set_ftol_abs(options.outerTolerance);
    optimiser.set_xtol_abs(options.outerStepTolerance);
    optimiser.set_maxeval(options.outerEvaluations);
    bool converged = false;
    Stop stop = SearchWithRestarts(optimiser, x, context, low, high, converged);
    if (!std::isfinite(context.best)) {
        // No trial could be evaluated: there is no best point, no modes to start from.
        outcome.summary = "no parameter values gave a finite -2LL";
        return outcome;
    }
    outcome.summary = stop.text;
    // Modes from η = 0 at the estimate; where some are lower, the search goes on from them.
    {
        VectorXd logTheta;
        MatrixXd omega;
        ResidualErrors error;
        packing.Unpack(packing.ToLog(x), logTheta, omega, error);
        modes.Set(logTheta, omega, error);
        modes.eta_ = context.bestEta;
    }
    if (modes.ReviseModes(options.innerTolerance, context.objective) > 0) {
        context.bestEta = modes.eta_;
        context.bestSensitivity.clear();
        context.best = kInfinity;
        stop = SearchWithRestarts(optimiser, x, context, low, high, converged);
        outcome.summary += ", then again from modes found afresh";
        if (!std::isfinite(context.best)) {
            outcome.summary = "no parameter values gave a finite -2LL";
            return outcome;
        }
    }
    outcome.status = converged ? FoceiStatus::GradientVanished : stop.status;
    outcome.summary += converged ? ", the gradient below its tolerance" : ", but the gradient did not vanish";
    return outcome;
}

}  // namespace tessuvan::estimation::internal
