#include "simulation/npde.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessuvan::simulation {

double NormalQuantile(double p)
{
    if (!(p > 0 && p < 1)) return std::numeric_limits<double>::quiet_NaN();
    // First guess: P. J. Acklam's rational approximations (relative error below 1.2e-9), the
    // central one for 0.02425 ≤ p ≤ 0.97575, the tail one in q = √(−2 ln p) beyond.
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                               1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                               6.680131188771972e+01, -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                               -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    const double low = 0.02425;
    double x;
    if (p < low || p > 1 - low) {
        const double q = std::sqrt(-2 * std::log(p < low ? p : 1 - p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
        if (p > low) x = -x;
    } else {
        const double q = p - 0.5, r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
    }
    // One Halley step on e(x) = Φ(x) − p: x −= u / (1 + x·u/2), u = e(x)·√(2π)·exp(x²/2).
    const double e = 0.5 * std::erfc(-x / std::sqrt(2.0)) - p;
    const double u = e * std::sqrt(2 * M_PI) * std::exp(x * x / 2);
    return x - u / (1 + x * u / 2);
}

Eigen::VectorXd IndividualNpde(const Eigen::VectorXd& observed, const Eigen::MatrixXd& simulated)
{
    const Eigen::Index n = observed.size(), k = simulated.rows();
    Eigen::VectorXd npde = Eigen::VectorXd::Constant(n, std::numeric_limits<double>::quiet_NaN());
    if (n == 0 || k < 2 || simulated.cols() != n || !observed.allFinite() || !simulated.allFinite()) return npde;
    const Eigen::RowVectorXd mean = simulated.colwise().mean();
    const Eigen::MatrixXd centred = simulated.rowwise() - mean;
    const Eigen::MatrixXd covariance = centred.transpose() * centred / double(k - 1);
    const Eigen::LLT<Eigen::MatrixXd> llt(covariance);
    if (llt.info() != Eigen::Success) return npde;
    const Eigen::VectorXd y = llt.matrixL().solve(observed - mean.transpose());
    const Eigen::MatrixXd sims = llt.matrixL().solve(centred.transpose());  // n × K, decorrelated
    for (Eigen::Index j = 0; j < n; ++j) {
        const double below = double((sims.row(j).array() < y[j]).count());
        const double pde = std::clamp(below / double(k), 0.5 / double(k), 1 - 0.5 / double(k));
        npde[j] = NormalQuantile(pde);
    }
    return npde;
}

}  // namespace tessuvan::simulation
