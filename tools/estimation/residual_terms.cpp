#include "estimation/residual_terms.h"

namespace tessuvan::estimation {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using internal::kInfinity;
using internal::kLog2Pi;

const Censoring& internal::NoCensoring()
{
    static const Censoring none;
    return none;
}

CensoredTerm CensoredTermOf(double lo, double hi, double f, double v)
{
    CensoredTerm t;
    const double s = std::sqrt(v);
    const double zl = (lo - f) / s, zh = (hi - f) / s;  // ±∞ for an open end
    // P = Φ(zh) − Φ(zl), from the upper tails when the interval lies there, so that a small
    // probability keeps its digits (Φ(z) = ½ erfc(−z/√2)).
    const double p = zl > 0 ? 0.5 * std::erfc(zl / std::sqrt(2.0)) - 0.5 * std::erfc(zh / std::sqrt(2.0))
                            : 0.5 * std::erfc(-zh / std::sqrt(2.0)) - 0.5 * std::erfc(-zl / std::sqrt(2.0));
    if (!(p > 0)) {
        t.l = kInfinity;
        return t;
    }
    const auto density = [](double z) { return std::isfinite(z) ? std::exp(-0.5 * z * z - 0.5 * kLog2Pi) : 0.0; };
    const auto zDensity = [&](double z) { return std::isfinite(z) ? z * density(z) : 0.0; };
    // dz/df = −1/s, dz/dV = −z/(2V), φ'(z) = −zφ(z).
    const double dDensity = density(zh) - density(zl), dzDensity = zDensity(zh) - zDensity(zl);
    t.l = -2 * std::log(p);
    t.lf = 2 * dDensity / (s * p);
    t.lv = dzDensity / (v * p);
    t.lff = 2 * dzDensity / (v * p) + 0.5 * t.lf * t.lf;
    return t;
}

void CensoredInterval(const VectorXd& y, const Censoring& censoring, Eigen::Index j, double& lo, double& hi)
{
    const double other = censoring.limit.size() > j ? censoring.limit[j] : std::nan("");
    if (censoring.kind[j] > 0) {
        lo = std::isnan(other) ? -kInfinity : other;
        hi = y[j];
    } else {
        lo = y[j];
        hi = std::isnan(other) ? kInfinity : other;
    }
}

double IndividualObjective(const VectorXd& y, const VectorXd& f, const VectorXd& eta, const MatrixXd& omegaInverse,
                           const ResidualErrors& error, const Censoring& censoring)
{
    double l = eta.size() > 0 ? eta.dot(omegaInverse * eta) : 0.0;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const double v = error.At(censoring, j).Variance(f[j]);
        if (!(v > 0) || !std::isfinite(f[j])) return kInfinity;
        if (censoring.Censored(j)) {
            double lo, hi;
            CensoredInterval(y, censoring, j, lo, hi);
            l += CensoredTermOf(lo, hi, f[j], v).l;
            continue;
        }
        const double r = y[j] - f[j];
        l += kLog2Pi + std::log(v) + r * r / v;
    }
    return l;
}

void IndividualDerivatives(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                           const MatrixXd& omegaInverse, const ResidualErrors& error, VectorXd& gradient, MatrixXd& h,
                           const Censoring& censoring)
{
    gradient = 2.0 * omegaInverse * eta;
    h = omegaInverse;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const ResidualError& of = error.At(censoring, j);
        const double b2 = of.proportional * of.proportional;
        const VectorXd gj = g.row(j).transpose();
        if (censoring.Censored(j)) {
            const internal::ObservationTerms term(y, f, j, censoring, error);
            gradient += term.L1() * gj;
            h += term.W() * gj * gj.transpose();
            continue;
        }
        const double v = of.Variance(f[j]);
        const double r = y[j] - f[j];
        const VectorXd dv = 2.0 * b2 * f[j] * gj;  // ∇V
        gradient += -2.0 * r / v * gj + (1.0 / v - r * r / (v * v)) * dv;
        h += gj * gj.transpose() / v + 0.5 * dv * dv.transpose() / (v * v);
    }
}

}  // namespace tessuvan::estimation
