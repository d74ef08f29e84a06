// What every method does with the arguments of one interval before its loop runs: the checks,
// the first step length, what yout holds when the checks refuse the interval, and the choice
// of coefficient source for the loop.
#pragma once

#include <cmath>
#include <cstdint>

#include "integration/coefficients.h"
#include "integration/methods.h"

namespace tessuvan {

// The two points on which the methods' checks differ.
struct ArgumentRule {
    WorkingFloat smallestTolerance;  // a tol not above it is refused with code 1
    bool refusalCopiesInput;         // on a refusal yout := yin; otherwise yout is not written
};
// "RUNGE-KUTTA 4" and "RUNGE-KUTTA 5": yout keeps what it held (the drivers pass the amounts
// for both yin and yout, so they stay as they were).
inline constexpr ArgumentRule kFixedStepArguments{0, false};
// "RUNGE-KUTTA QC": 1/tol is its step budget, so a tolerance must be above the threshold.
inline constexpr ArgumentRule kQualityControlArguments{ObservationThreshold, true};
// "CHU-BERMAN": the answers of the Runge–Kutta methods for arguments that leave nothing to do.
inline constexpr ArgumentRule kChuBermanArguments{0, true};

// The most steps one interval may take, whatever the method and the tolerance. A fixed-step
// method takes 1/√tol steps per interval (100,000 at tolerance 1e-10, the tightest in common
// use; the adaptive methods take far fewer), so the ceiling is met only below about 1.6e-11.
// It bounds the time of a call whose tolerance is mistyped: at 1e-20 a fixed-step method would
// otherwise take 1e10 steps per interval, and CHU-BERMAN has no bound of its own. Since the
// drivers go on to the next interval after a failed one, a call at the ceiling takes about
// (intervals × 250,000) steps: a few seconds for a study of a dozen subjects. An interval that
// reaches it ends with code 6 and the amounts of the time reached; every interval that needs
// fewer steps is untouched.
inline constexpr int64_t kMostStepsPerInterval = 250000;

struct IntervalStart {
    WorkingFloat h = 0;  // first step length (t1 - t0)·√tol
    int16_t err = 0;     // 1 tol not above the rule's smallest; 3 t0 >= t1 (wins over 1);
                         // 5 step length 0 or not a number (a time or tolerance that is not a
                         // number, or an interval so short that the step underflows)
};

inline IntervalStart CheckInterval(const ArgumentRule& rule, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol)
{
    IntervalStart start;
    if (tol <= rule.smallestTolerance) start.err = TessuvanIntegrationTolerance;
    if (t0 >= t1) start.err = TessuvanIntegrationInterval;
    start.h = (t1 - t0) * std::sqrt(tol);
    if (start.err == 0 && !(start.h > 0)) start.err = TessuvanIntegrationStepLength;
    return start;
}

// The frame of every method (methods.h): err := the checks' code; on a refusal yout as the
// method's rule Loop::kArguments says. Otherwise Loop::Run(source, size, h, t0, t1, tol, y) with
// the coefficient source of WithCoefficients and the first step length h: y is yout itself,
// which enters with yin and leaves with the amounts at the time reached (t1, unless a code says
// otherwise); the codes it returns are added to err.
//
// The drivers pass the formula variables' amounts as yin and yout, so these cells follow the
// steps. No evaluation sees the difference: the plain protocol writes the trial amounts into
// every amount cell and the plan into every cell it reads, and both give back what they found.
template <class Loop>
void Integrate(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
               AmountVector yin, AmountVector& yout, int16_t& err)
{
    const IntervalStart start = CheckInterval(Loop::kArguments, t0, t1, tol);
    err = start.err;
    if (err != 0) {
        if (Loop::kArguments.refusalCopiesInput) yout = yin;
        return;
    }
    yout = yin;
    WithCoefficients(rhs, n, [&](const auto& source, auto size) {
        AddCode(err, Loop::Run(source, size, start.h, t0, t1, tol, yout));
    });
}

}  // namespace tessuvan
