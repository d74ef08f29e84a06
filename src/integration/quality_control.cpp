// "RUNGE-KUTTA QC": the interval loop and step control around RungeKutta4Step.
#include "integration/quality_control.h"

#include <cmath>

#include "integration/fixed_step.h"
#include "integration/methods.h"

namespace tessuvan {

namespace {

constexpr WorkingFloat kSafety = TESSUVAN_WF(0.9);
constexpr WorkingFloat kShrinkExponent = TESSUVAN_WF(-0.25);
constexpr WorkingFloat kGrowExponent = TESSUVAN_WF(-0.2);
// Below this errmax the formula would grow the step by more than 4 (0.9·0.0006^-0.2 ≈ 4.05).
constexpr WorkingFloat kGrowthLimit = TESSUVAN_WF(0.0006);
constexpr WorkingFloat kGrowth = 4;
// A shrunken step shorter than this fraction of the last is retried; otherwise the attempt is
// kept and the next step cut to this fraction.
constexpr WorkingFloat kCut = TESSUVAN_WF(0.1);
// Local extrapolation: the two-halves result minus d·(1/15), written as a fourteen-digit
// decimal rather than the exact fraction.
constexpr WorkingFloat kCorrection = TESSUVAN_WF(0.06666666666666);

// The largest |d[i] / whole[i]| over the species whose whole-step amount is above the
// threshold; 0 if there is none. A ratio that is not a number never wins.
WorkingFloat LargestRelativeDifference(int n, const AmountVector& d, const AmountVector& whole)
{
    WorkingFloat largest = 0;
    for (int i = 1; i <= n; ++i) {
        if (std::fabs(whole[i]) > ObservationThreshold) {
            const WorkingFloat ratio = std::fabs(d[i] / whole[i]);
            if (ratio > largest) largest = ratio;
        }
    }
    return largest;
}

}  // namespace

QualityControlStart PrepareQualityControl(WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                                          const AmountVector& yin)
{
    QualityControlStart start;
    if (tol <= ObservationThreshold) start.err = TessuvanIntegrationTolerance;
    if (t0 >= t1) start.err = TessuvanIntegrationInterval;
    start.t = t0;
    start.y = yin;
    start.half = yin;
    start.whole = yin;
    start.h = (t1 - t0) * std::sqrt(tol);
    // A time or tolerance that is not a number, or a step that underflows, leaves no step.
    if (start.err == 0 && !(start.h > 0)) start.err = TessuvanIntegrationStepLength;
    return start;
}

void IntegrateRungeKuttaQC(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                           AmountVector yin, AmountVector& yout, int16_t& err)
{
    QualityControlStart start = PrepareQualityControl(t0, t1, tol, yin);
    err = start.err;
    if (err != 0) {
        yout = yin;
        return;
    }
    WorkingFloat h = start.h;
    WorkingFloat t = start.t;
    AmountVector& y = start.y;
    AmountVector& half = start.half;
    AmountVector& whole = start.whole;
    AmountVector d{};
    // 64 bits, so that the count can pass any budget 1/tol without wrapping.
    int64_t count = 0;
    const WorkingFloat budget = 1 / tol;

    do {
        count = count + 1;
        WorkingFloat taken = 0;  // length of the accepted attempt
        for (;;) {
            if (!(h > 0)) {
                // A retry shrank the step to nothing (an infinite error estimate): no step is
                // left to take. The amounts are those of the time reached.
                AddCode(err, TessuvanIntegrationStepLength);
                yout = y;
                return;
            }
            // A step below the resolution of the clock at t would leave t where it is; the
            // rest of the interval is then one final attempt, kept whatever its error.
            const bool last = !(t + h > t);
            if (last) h = t1 - t;

            const WorkingFloat halfStep = h * WorkingFloat(0.5);
            RungeKutta4Step(rhs, n, halfStep, t, half);
            RungeKutta4Step(rhs, n, halfStep, t + halfStep, half);
            RungeKutta4Step(rhs, n, h, t, whole);
            for (int i = 1; i <= n; ++i) d[i] = half[i] - whole[i];
            WorkingFloat errmax = LargestRelativeDifference(n, d, whole);
            errmax = errmax / tol;

            taken = h;
            if (last) {
                t = t1;
                break;
            }
            if (errmax > 1) {
                const WorkingFloat shrunk = kSafety * h * std::exp(kShrinkExponent * std::log(errmax));
                if (kCut * h > shrunk) {
                    // Too large an error: start the attempt again from t and y.
                    h = shrunk;
                    half = y;
                    whole = y;
                    continue;
                }
                // Kept although above the tolerance; the next step is a tenth as long.
                h = kCut * h;
            } else if (errmax > kGrowthLimit) {
                h = kSafety * h * std::exp(kGrowExponent * std::log(errmax));
            } else {
                h = kGrowth * h;
            }
            t = t + taken;
            break;
        }
        for (int i = 1; i <= n; ++i) {
            y[i] = half[i] - d[i] * kCorrection;
            half[i] = y[i];
            whole[i] = y[i];
        }
        if (t + h > t1) h = t1 - t;
    } while (t < t1 && static_cast<WorkingFloat>(count) <= budget);

    if (static_cast<WorkingFloat>(count) > budget) AddCode(err, TessuvanIntegrationStepBudget);
    yout = y;
}

}  // namespace tessuvan
