// Normalised prediction distribution errors (Brendel et al., Pharm Res 2006; Comets, Brendel
// and Mentré, Comput Methods Programs Biomed 2008): how each individual's observations lie
// within K simulations of that individual's design from the fitted model, the observations of
// one individual decorrelated first so that the errors of a correct model are independent
// standard normals.
//
// For individual i with observations y (n values) and simulations Y (K × n):
//     E = mean of the rows of Y,   V = their covariance (divisor K − 1),   V = L Lᵀ (Cholesky),
//     y* = L⁻¹(y − E),   Y*_k = L⁻¹(Y_k − E)            (every simulation decorrelated the same way),
//     pde_j = #{k : Y*_kj < y*_j} / K, moved to 1/(2K) when 0 and to 1 − 1/(2K) when 1,
//     npde_j = Φ⁻¹(pde_j).
#pragma once

#include <Eigen/Dense>

namespace tessuvan::simulation {

// Φ⁻¹(p) for 0 < p < 1, to the last few bits of a double (a rational first guess refined by one
// Halley step on Φ(x) = ½ erfc(−x/√2)); NaN outside (0, 1).
double NormalQuantile(double p);

// The NPDE of one individual: observed (n), simulated (K × n, one simulation a row). NaN
// throughout when K < 2, a value is not finite or V is not positive definite (an observation
// that every simulation gives the same value).
Eigen::VectorXd IndividualNpde(const Eigen::VectorXd& observed, const Eigen::MatrixXd& simulated);

}  // namespace tessuvan::simulation
