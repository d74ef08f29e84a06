// What a fit reports of its individuals at the estimate: PRED (η = 0), IPRED (at the modes),
// IWRES = (y − IPRED)/√V(IPRED), CWRES (focei.h), the shrinkage of every η and of the residuals,
// and the information criteria AIC = −2LL + 2k and BIC = −2LL + k·ln n (n observations).
#pragma once

#include <vector>

#include <Eigen/Dense>

#include "estimation/individual_modes.h"

namespace tessuvan::estimation::internal {

// From the modes bestEta and their G (bestG, empty where none) at Ω.
void IndividualDiagnostics(Modes& modes, const std::vector<Eigen::VectorXd>& bestEta,
                           const std::vector<Eigen::MatrixXd>& bestG, const Eigen::MatrixXd& omega,
                           const ResidualErrors& error, FoceiResult& result);

// The counts of observations and of estimated parameters, AIC and BIC from result.minus2ll.
void Criteria(const FoceiProblem& problem, std::size_t estimated, FoceiResult& result);

}  // namespace tessuvan::estimation::internal
