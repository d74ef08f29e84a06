// The residual error's part of an individual's objective: one observation's term of l_i,
// ℓ(f) = ln 2πV + (y − f)²/V with V = a² + b²f², or for a censored one (the M3 method)
// ℓ = −2 ln P(f, V), and the derivatives of ℓ in f and in the residual parameters that the
// modes, −2LL's gradient and the covariance step need.
#pragma once

#include <cmath>
#include <limits>

#include <Eigen/Dense>

#include "estimation/focei.h"

namespace tessuvan::estimation::internal {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
inline const double kLog2Pi = std::log(2.0 * 3.14159265358979323846);

// One observation's term of l_i, ℓ(f) = ln V + (y − f)²/V with V = a² + b²f², and the
// derivatives in f that the gradient of −2LL needs: V' = 2b²f, V'' = 2b², and the weight
// w = 1/V + ½V'²/V² of g gᵀ in H. A censored observation has ℓ = −2 ln P(f, V) instead and
// the weight w = ½ ∂²ℓ/∂f² at a fixed V; ℓ's derivatives in V beyond the first, and w's, by
// central differences of the closed forms (relative step 1e-4: about 1e-8 of their size).
struct ObservationTerms {
    double v, v1, v2, r;
    bool censored = false;
    double lf = 0, lv = 0, lff = 0, lfv = 0, lvv = 0, wf = 0, wv = 0;  // censored: partial derivatives
    ObservationTerms(double y, double f, const ResidualError& error)
        : v(error.Variance(f)),
          v1(2 * error.proportional * error.proportional * f),
          v2(2 * error.proportional * error.proportional),
          r(y - f)
    {
    }
    ObservationTerms(const Eigen::VectorXd& y, const Eigen::VectorXd& f, Eigen::Index j, const Censoring& censoring,
                     const ResidualErrors& error)
        : ObservationTerms(y[j], f[j], error.At(censoring, j))
    {
        if (!censoring.Censored(j)) return;
        censored = true;
        double lo, hi;
        CensoredInterval(y, censoring, j, lo, hi);
        const CensoredTerm t = CensoredTermOf(lo, hi, f[j], v);
        lf = t.lf;
        lv = t.lv;
        lff = t.lff;
        const double dv = 1e-4 * v, df = 1e-4 * std::sqrt(v);
        const CensoredTerm vUp = CensoredTermOf(lo, hi, f[j], v + dv), vDown = CensoredTermOf(lo, hi, f[j], v - dv);
        const CensoredTerm fUp = CensoredTermOf(lo, hi, f[j] + df, v), fDown = CensoredTermOf(lo, hi, f[j] - df, v);
        lfv = (vUp.lf - vDown.lf) / (2 * dv);
        lvv = (vUp.lv - vDown.lv) / (2 * dv);
        wv = 0.5 * (vUp.lff - vDown.lff) / (2 * dv);
        wf = 0.5 * (fUp.lff - fDown.lff) / (2 * df);
    }
    double L1() const
    {
        if (censored) return lf + lv * v1;
        return v1 / v - 2 * r / v - r * r * v1 / (v * v);
    }
    double L2() const
    {
        if (censored) return lff + 2 * lfv * v1 + lvv * v1 * v1 + lv * v2;
        return v2 / v - v1 * v1 / (v * v) + 2 / v + 4 * r * v1 / (v * v) - r * r * v2 / (v * v) +
               2 * r * r * v1 * v1 / (v * v * v);
    }
    double W() const { return censored ? 0.5 * lff : 1 / v + 0.5 * v1 * v1 / (v * v); }
    double W1() const
    {
        if (censored) return wf + wv * v1;
        return -v1 / (v * v) + v1 * v2 / (v * v) - v1 * v1 * v1 / (v * v * v);
    }
    // ∂ℓ, ∂ℓ' and ∂w for a residual parameter that moves V by dv and V' by dv1 at fixed f.
    double DL(double dv) const { return censored ? lv * dv : dv * (1 / v - r * r / (v * v)); }
    double DL1(double dv, double dv1) const
    {
        if (censored) return lfv * dv + lvv * dv * v1 + lv * dv1;
        return dv1 * (1 / v - r * r / (v * v)) + dv * (-v1 / (v * v) + 2 * r / (v * v) + 2 * r * r * v1 / (v * v * v));
    }
    double DW(double dv, double dv1) const
    {
        if (censored) return wv * dv;
        return -dv / (v * v) + v1 * dv1 / (v * v) - v1 * v1 * dv / (v * v * v);
    }
};

const Censoring& NoCensoring();

}  // namespace tessuvan::estimation::internal
