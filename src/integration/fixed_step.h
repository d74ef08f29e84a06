// The single steps of the Runge–Kutta family, generic over the coefficient source and the
// species count (coefficients.h). A step advances the amounts over one length h and knows
// nothing of the interval; the loops live in fixed_step.cpp and quality_control.cpp.
//
// Every step works on entries 1..n of y. trial is the step's scratch for the stage amounts:
// it enters with y's entries beyond n (which never change) and leaves with them, so a formula
// reading a species beyond n sees the caller's value there.
#pragma once

#include "integration/coefficients.h"

namespace tessuvan {

// k := h·f(t, x) over 1..n, f = A(t, x)·x + F(t, x).
template <class Source, class Size>
inline void Stage(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                  const AmountVector& x, AmountVector& k)
{
    source.At(size, t, x, c);
    Derivative(size, c, x, k);
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) k[i] = h * k[i];
}

// One classic four-stage step from t to t + h:
//   k1 = h·f(t, y)                k2 = h·f(t + h/2, y + k1/2)
//   k3 = h·f(t + h/2, y + k2/2)   k4 = h·f(t + h, y + k3)
//   y += (k1 + 2·k2 + 2·k3 + k4) / 6, summed left to right
// For x' = -x it multiplies x by 1 - h + h²/2 - h³/6 + h⁴/24.
template <class Source, class Size>
inline void RungeKutta4Step(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                            AmountVector& y, AmountVector& trial)
{
    const int n = size.Count();
    const WorkingFloat half = h * WorkingFloat(0.5);
    AmountVector k1, k2, k3, k4;
    Stage(source, size, c, h, t, y, k1);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k1[i] * WorkingFloat(0.5);
    Stage(source, size, c, h, t + half, trial, k2);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k2[i] * WorkingFloat(0.5);
    Stage(source, size, c, h, t + half, trial, k3);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k3[i] * WorkingFloat(1);
    Stage(source, size, c, h, t + h, trial, k4);
    for (int i = 1; i <= n; ++i) y[i] = y[i] + (k1[i] + k2[i] * 2 + k3[i] * 2 + k4[i]) / 6;
}

// One step of the first five stages of the Fehlberg 4(5) pair with its fourth-order weights
// (25/216, 0, 1408/2565, 2197/4104, -1/5), every combination an integer-weighted sum over one
// common denominator. No error estimate. For x' = -x it multiplies x by
// 1 - h + h²/2 - h³/6 + h⁴/24 - h⁵/104.
template <class Source, class Size>
inline void FehlbergStep(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                         AmountVector& y, AmountVector& trial)
{
    const int n = size.Count();
    AmountVector k1, k2, k3, k4, k5;
    Stage(source, size, c, h, t, y, k1);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k1[i] * WorkingFloat(0.25);

    Stage(source, size, c, h, t + h * WorkingFloat(0.25), trial, k2);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + (k1[i] * 3 + k2[i] * 9) / 32;

    Stage(source, size, c, h, t + (h * 3) / 8, trial, k3);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + (k1[i] * 1932 - k2[i] * 7200 + k3[i] * 7296) / 2197;

    Stage(source, size, c, h, t + (h * 12) / 13, trial, k4);
    for (int i = 1; i <= n; ++i)
        trial[i] = y[i] + (k1[i] * 8341 - k2[i] * 32832 + k3[i] * 29440 - k4[i] * 845) / 4104;

    Stage(source, size, c, h, t + h, trial, k5);
    for (int i = 1; i <= n; ++i)
        y[i] = y[i] + (k1[i] * 2375 + k3[i] * 11264 + k4[i] * 10985 - k5[i] * 4104) / 20520;
}

}  // namespace tessuvan
