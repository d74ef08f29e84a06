// The fixed-step Runge–Kutta family: the set-up shared by "RUNGE-KUTTA 4" and "RUNGE-KUTTA 5",
// and their single steps. A step advances the amounts over one length h and knows nothing of
// the interval; the loops live in fixed_step.cpp and quality_control.cpp.
#pragma once

#include "integration/right_hand_side.h"

namespace tessuvan {

// The state a fixed-step integration starts from.
struct FixedStepStart {
    WorkingFloat h = 0;  // step length (t1 - t0)·√tol; 0 when err is not 0
    WorkingFloat t = 0;  // t0
    AmountVector y{};    // yin
    int16_t err = 0;     // 1 tol <= 0; 3 t0 >= t1 (wins over 1); 5 step length 0 or not a number
};

// Argument check and set-up. The step length is fixed by the tolerance alone, so every
// interval is covered in about 1/√tol steps whatever its length.
FixedStepStart PrepareFixedStep(WorkingFloat t0, WorkingFloat t1, WorkingFloat tol, const AmountVector& yin);

// One classic four-stage step from t to t + h, y updated in place (entries 1..n):
//   k1 = h·f(t, y)           k2 = h·f(t + h/2, y + k1/2)
//   k3 = h·f(t + h/2, y + k2/2)   k4 = h·f(t + h, y + k3)
//   y += (k1 + 2·k2 + 2·k3 + k4) / 6
// For x' = -x it multiplies x by 1 - h + h²/2 - h³/6 + h⁴/24.
void RungeKutta4Step(const RightHandSide& rhs, int n, WorkingFloat h, WorkingFloat t, AmountVector& y);

// One step of the first five stages of the Fehlberg 4(5) pair with its fourth-order weights
// (25/216, 0, 1408/2565, 2197/4104, -1/5), every combination an integer-weighted sum over one
// common denominator. No error estimate. For x' = -x it multiplies x by
// 1 - h + h²/2 - h³/6 + h⁴/24 - h⁵/104.
void FehlbergStep(const RightHandSide& rhs, int n, WorkingFloat h, WorkingFloat t, AmountVector& y);

}  // namespace tessuvan
