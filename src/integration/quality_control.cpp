// "RUNGE-KUTTA QC": classic steps with step-doubling error control. Every step is taken once
// whole and once as two halves; their difference d estimates the error of the halves, the
// halves are corrected by d/15 (local extrapolation) and the next length follows from
//   errmax = max_i |d_i / whole_i| / tol   (species with |whole_i| > 1e-130)
//   errmax > 1:  h·0.9·errmax^-0.25, retried if below h/10, else kept and the next h is h/10
//   errmax <= 1: h·0.9·errmax^-0.2, or 4·h when errmax <= 0.0006
// The interval starts with h = (t1 - t0)·√tol and may take 1/tol steps; the step that passes
// that budget is still applied and ends the call with code 2.
#include <cmath>

#include "integration/fixed_step.h"
#include "integration/interval.h"
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
template <class Size>
inline WorkingFloat LargestRelativeDifference(Size size, const AmountVector& d, const AmountVector& whole)
{
    const int n = size.Count();
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

// The interval loop, from t0 with the first step length h; returns the codes it adds.
struct QualityControlLoop {
    template <class Source, class Size>
    static int16_t Run(const Source& source, Size size, WorkingFloat h, WorkingFloat t0, WorkingFloat t1,
                       WorkingFloat tol, AmountVector& y)
    {
        const int n = size.Count();
        int16_t err = 0;
        Coefficients<Size> c;
        source.Begin(size, c);
        WorkingFloat t = t0;
        // The accepted amounts, and the copies advanced by two half steps and by one whole step
        // during an attempt; all three equal at the start of every attempt.
        AmountVector half = y, whole = y, trial = y;
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
                    return err;
                }
                // A step below the resolution of the clock at t would leave t where it is; the
                // rest of the interval is then one final attempt, kept whatever its error.
                const bool last = !(t + h > t);
                if (last) h = t1 - t;

                const WorkingFloat halfStep = h * WorkingFloat(0.5);
                RungeKutta4Step(source, size, c, halfStep, t, half, trial);
                RungeKutta4Step(source, size, c, halfStep, t + halfStep, half, trial);
                RungeKutta4Step(source, size, c, h, t, whole, trial);
                for (int i = 1; i <= n; ++i) d[i] = half[i] - whole[i];
                WorkingFloat errmax = LargestRelativeDifference(size, d, whole);
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
                        for (int i = 1; i <= n; ++i) half[i] = whole[i] = y[i];
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
        } while (t < t1 && static_cast<WorkingFloat>(count) <= budget && count < kMostStepsPerInterval);

        if (static_cast<WorkingFloat>(count) > budget)
            AddCode(err, TessuvanIntegrationStepBudget);
        else if (t < t1)
            AddCode(err, TessuvanIntegrationStepCeiling);
        return err;
    }

    static constexpr ArgumentRule kArguments = kQualityControlArguments;
};

template IntegrationRoutine Integrate<QualityControlLoop>;

}  // namespace tessuvan
