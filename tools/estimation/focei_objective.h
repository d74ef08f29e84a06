// FOCEI's objective over the population values: the Laplace approximation of −2 log L with the
// first-order matrix H_i at every individual's mode,
//     −2LL = Σ_i [ l_i(η̂_i) + ln|Ω| + ln|H_i(η̂_i)| ],
// and its analytic gradient in the packed log parameters (focei.h gives the derivation).
#pragma once

#include <Eigen/Dense>

#include "estimation/focei_parameters.h"
#include "estimation/individual_modes.h"

namespace tessuvan::estimation::internal {

// Finds the modes from the present η and returns −2LL there; +∞ when it cannot be evaluated.
double FoceiMinus2LL(Modes& modes, double tolerance);

// The gradient of −2LL in the packed log parameters at the modes the last finite FoceiMinus2LL
// found, and each individual's sensitivity dη̂/dx (modes.sensitivity_) for warm starts; false
// when it is not finite.
bool FoceiGradientAt(Modes& modes, const Packing& packing, Eigen::VectorXd& result);

}  // namespace tessuvan::estimation::internal
