// The covariance step: R⁻¹, the inverse of the observed information R = ½ ∇²(−2LL), by central
// differences of the analytic gradient in the estimated log parameters. A variance (or
// proportional error) at the lower bound of its search has a flat −2LL there and no standard
// error: it stays fixed at its estimate, and the others' covariance is conditional on it.
#pragma once

#include <vector>

#include <Eigen/Dense>

#include "estimation/outer_search.h"

namespace tessuvan::estimation::internal {

// At the estimate x (log parameters; low: the search's lower bounds, in its coordinates).
// Returns the standard errors of the log parameters (NaN where none) and fills the result's
// covariance fields, and covarianceLog with the covariance of the log parameters (m × m, NaN
// where none). The modes are left as they were.
Eigen::VectorXd CovarianceStep(OuterContext& context, const std::vector<double>& x, const std::vector<double>& low,
                               FoceiResult& result, Eigen::MatrixXd& covarianceLog);

}  // namespace tessuvan::estimation::internal
