// The outer problem: the objective of a method (FOCEI's −2LL) minimised over the packed
// population values by a quasi-Newton method (NLopt's L-BFGS within bounds) on its analytic
// gradient, started again from the best point while that point is not a minimum, and once more
// from modes found afresh where those are lower. Each evaluation warm-starts the modes from
// the best point's, moved by their sensitivity dη̂/dx.
#pragma once

#include <string>
#include <vector>

#include <Eigen/Dense>

#include "estimation/focei_parameters.h"
#include "estimation/individual_modes.h"

namespace tessuvan::estimation::internal {

// The objective and its gradient at x, the modes started from those of the best point so far
// moved by their sensitivity (a first-order prediction of the new modes), and the best point.
struct OuterContext {
    using Gradient = bool (*)(Modes& modes, const Packing& packing, Eigen::VectorXd& gradient);
    OuterContext(Modes& modes, const Packing& packing, const FoceiOptions& options, Modes::Objective objective,
                 Gradient gradient)
        : modes(&modes), packing(&packing), options(&options), objective(objective), gradientOf(gradient)
    {
    }
    Modes* modes;
    const Packing* packing;
    const FoceiOptions* options;
    Modes::Objective objective;
    Gradient gradientOf;
    std::vector<Eigen::VectorXd> bestEta;
    std::vector<Eigen::MatrixXd> bestSensitivity;
    std::vector<double> bestX;       // in the log parameters
    std::vector<double> bestSearch;  // the same point in the quasi-Newton's coordinates
    Eigen::VectorXd bestGradient;    // in the log parameters
    double best = kInfinity;
    int evaluations = 0;

    void WarmStart(const std::vector<double>& x);
    // The objective at x (log parameters), and its gradient when asked; +∞ when not finite.
    double Evaluate(const std::vector<double>& x, double tolerance, Eigen::VectorXd* gradient);
};

// Where the search ended: x (in its own coordinates) at the best point, why, and the summary.
struct OuterOutcome {
    FoceiStatus status = FoceiStatus::NoFiniteObjective;
    std::string summary;
};

// Minimises from x within [low, high] (the search's coordinates); leaves x at the best point.
OuterOutcome SearchPopulationValues(OuterContext& context, std::vector<double>& x, const std::vector<double>& low,
                                    const std::vector<double>& high);

}  // namespace tessuvan::estimation::internal
