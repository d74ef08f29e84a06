// "CHU-BERMAN": the interval loop.
//
// One attempt of length h from (t, Y), with D = A0·Y + F0 and AD = A0·D:
//   τ = h/10,  Rτ = remainder at (t + τ, Y + τ·D)
//   Yn = Y + h·D + r·(AD + Rτ/τ)                       (W = r·(AD + Rτ/τ))
//   C  = R1 - Rτ/0.1 + A0·W - diag(A0)·W,  R1 = remainder at (t + h, Yn)
//   Yf = Yn + s·C/h²,  error = Σ |h·C_i / Yf_i| over species with |Yf_i| > 1e-130
// For one species x' = a·x + b, Y + h·D + r·a·D = Y + q·D is the exact solution, since
// h + a·r = q.
//
// Step length: the first attempt of a step is min(2·h_prev·|tol - e_prev|/tol, L, t1 - t)
// with L = (t1 - t0)/3, h_prev and e_prev the length and error of the previous accepted step
// ((t1 - t0)·√tol and 0 for the first); each rejection halves it, and an attempt below 1e-130
// is kept whatever its error (code 1, and 1 more when t1 is then not reached).
#include "integration/chu_berman.h"

#include <cmath>
#include <type_traits>

#include "integration/interval.h"
#include "integration/methods.h"

namespace tessuvan {

namespace {

// The remainder is sampled at this fraction of the step.
constexpr WorkingFloat kSampleFraction = TESSUVAN_WF(0.1);
// Applied before the halving of each attempt, so a factor 2 in effect.
constexpr WorkingFloat kGrowth = 4;

// R/d for a remainder R of LinearizationRemainder and a divisor d > 0. When the coefficients
// cannot vary, R is +0 or a not-a-number (AX - AX, and a free term added and taken away again
// leaves it so), and either divided by a positive d is itself: the division is left out.
template <class Source>
inline WorkingFloat RemainderOver(WorkingFloat R, WorkingFloat d)
{
    if constexpr (!Source::kVarying) {
        if (d > 0) return R;
    }
    return R / d;
}

}  // namespace

// The interval loop, from t0 with the first step length h; returns the codes it adds.
struct ChuBermanLoop {
    static constexpr ArgumentRule kArguments = kChuBermanArguments;

    template <class Source, class Size>
    static int16_t Run(const Source& source, Size size, WorkingFloat h, WorkingFloat t0, WorkingFloat t1,
                       WorkingFloat tol, AmountVector& Y)
    {
        // Entries beyond n are never computed: they travel from yin to yout untouched, and the
        // trial amounts carry them for the formulas that read them. Coefficients that cannot
        // vary read no amount, so their trial points need only 1..n.
        using TrialPoint = std::conditional_t<Source::kVarying, AmountVector, SpeciesVector<Size>>;
        const TrialPoint start = [&] {
            if constexpr (Source::kVarying) return Y;
            else return TrialPoint{};
        }();
        TrialPoint Ytau = start, Yn = start;
        const int n = size.Count();
        int16_t err = 0;
        WorkingFloat t = t0;
        const WorkingFloat L = (t1 - t0) / 3;
        WorkingFloat errorScale = 0;

        // With nothing varying, A(t, X) and F(t, X) are A0 and F0 throughout: one set serves both.
        Coefficients<Size> c0;
        Coefficients<Size> varying;
        Coefficients<Size>& c = Source::kVarying ? varying : c0;
        source.Begin(size, c0);
        SpeciesVector<Size> D, AD, q, r, s;
        SpeciesVector<Size> Rtau, W, AW, R1, Yf;
        int64_t steps = 0;
        do {
            ++steps;
            // Freeze the model at the start of the step.
            source.At(size, t, Y, c0);
            Derivative(size, c0, Y, D);
            Product(size, c0.A, D, AD);

            // Proposed length (before the halving of the first attempt): grows with the margin
            // the last step left under the tolerance, at most 2·L, and lands on t1.
            h = h * kGrowth * std::fabs(tol - errorScale) / tol;
            if (h > 2 * L) h = 2 * L;
            if (t + h / 2 > t1) h = 2 * (t1 - t);
            if (!(h > 0)) {
                AddCode(err, TessuvanIntegrationStepLength);
                return err;
            }

            bool last = false;
            for (;;) {
                errorScale = 0;
                h = h / 2;
                // A step below the resolution of the clock at t would leave t where it is; the
                // rest of the interval is then one attempt, kept whatever its error.
                last = h >= ObservationThreshold && !(t + h > t);
                if (last) h = t1 - t;
                const WorkingFloat tau = kSampleFraction * h;

                ExponentialWeights(size, h, c0.A, q, r, s);
#pragma GCC unroll 4
                for (int i = 1; i <= n; ++i) Ytau[i] = Y[i] + tau * D[i];
                LinearizationRemainder(source, size, c, t + tau, Ytau, c0, Rtau);

#pragma GCC unroll 4
                for (int i = 1; i <= n; ++i) {
                    const WorkingFloat firstOrder = Y[i] + h * D[i];
                    W[i] = r[i] * (AD[i] + RemainderOver<Source>(Rtau[i], tau));
                    Yn[i] = firstOrder + W[i];
                }
                LinearizationRemainder(source, size, c, t + h, Yn, c0, R1);
                Product(size, c0.A, W, AW);

#pragma GCC unroll 4
                for (int i = 1; i <= n; ++i) {
                    const WorkingFloat tenfold = RemainderOver<Source>(Rtau[i], kSampleFraction);
                    const WorkingFloat C = R1[i] - tenfold + AW[i] - c0.A[i][i] * W[i];
                    Yf[i] = Yn[i] + s[i] * C / (h * h);
                    if (std::fabs(Yf[i]) > ObservationThreshold) errorScale = errorScale + std::fabs(h * C / Yf[i]);
                }

                // Accepted under the tolerance; a step below 1e-130 is kept whatever its error.
                if (tol > errorScale || h < ObservationThreshold || last) break;
            }

            if (h < ObservationThreshold) AddCode(err, TessuvanIntegrationShortStep);
            t = last ? t1 : t + h;
            for (int i = 1; i <= n; ++i) Y[i] = Yf[i];
        } while (t < t1 && h >= ObservationThreshold && steps < kMostStepsPerInterval);

        // Short of t1: a step fell below 1e-130 (counted a second time), or the steps ran out.
        if (t < t1) AddCode(err, h >= ObservationThreshold ? TessuvanIntegrationStepCeiling : TessuvanIntegrationShortStep);
        return err;
    }
};

template IntegrationRoutine Integrate<ChuBermanLoop>;

}  // namespace tessuvan
