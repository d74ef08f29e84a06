// "CHU-BERMAN": the weights, the remainder of the frozen linear model, and the interval loop.
//
// One attempt of length h from (t, Y), with D = A0·Y + F0 and AD = A0·D:
//   τ = h/10,  Rτ = remainder at (t + τ, Y + τ·D)
//   Yn = Y + h·D + r·(AD + Rτ/τ)                       (W = r·(AD + Rτ/τ))
//   C  = R1 - Rτ/0.1 + A0·W - diag(A0)·W,  R1 = remainder at (t + h, Yn)
//   Yf = Yn + s·C/h²,  error = Σ |h·C_i / Yf_i| over species with |Yf_i| > 1e-130
// For one species x' = a·x + b, Y + h·D + r·a·D = Y + q·D is the exact solution, since
// h + a·r = q.
#include "integration/chu_berman.h"

#include <cmath>

#include "integration/methods.h"

namespace tessuvan {

namespace {

// The remainder is sampled at this fraction of the step.
constexpr WorkingFloat kSampleFraction = TESSUVAN_WF(0.1);
// Below this |a| or |a·h| the closed forms of the weights lose every digit to cancellation.
constexpr WorkingFloat kSeriesThreshold = TESSUVAN_WF(1e-7);
// Applied before the halving of each attempt, so a factor 2 in effect.
constexpr WorkingFloat kGrowth = 4;

}  // namespace

void ExponentialWeights(int n, WorkingFloat h, const ModelMatrix& A0, AmountVector& q, AmountVector& r,
                        AmountVector& s)
{
    for (int i = 1; i <= n; ++i) {
        const WorkingFloat a = A0[i][i];
        if (std::fabs(a) < kSeriesThreshold || std::fabs(a * h) < kSeriesThreshold) {
            q[i] = h;
            r[i] = q[i] * h / 2;
            s[i] = r[i] * h / 3;
        } else {
            q[i] = (std::exp(a * h) - 1) / a;
            r[i] = (q[i] - h) / a;
            s[i] = (r[i] - h * h * WorkingFloat(0.5)) / a;
        }
    }
}

void LinearizationRemainder(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector X, const ModelMatrix& A0,
                            AmountVector F0, AmountVector& R)
{
    ModelMatrix A;
    AmountVector F, AX, A0X;
    EvaluateAM(rhs, n, t, X, A);
    EvaluateFM(rhs, n, t, X, F);
    MatrixTimesVector(n, A, X, AX);
    MatrixTimesVector(n, A0, X, A0X);
    for (int i = 1; i <= n; ++i) R[i] = AX[i] - A0X[i] + F[i] - F0[i];
}

void IntegrateChuBerman(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                        AmountVector yin, AmountVector& yout, int16_t& err)
{
    // The same answers as the Runge–Kutta methods for arguments that leave nothing to do: a
    // tolerance that is not positive, an empty or reversed interval, no step length.
    err = 0;
    if (tol <= 0) err = TessuvanIntegrationTolerance;
    if (t0 >= t1) err = TessuvanIntegrationInterval;
    WorkingFloat h = (t1 - t0) * std::sqrt(tol);
    if (err == 0 && !(h > 0)) err = TessuvanIntegrationStepLength;
    if (err != 0) {
        yout = yin;
        return;
    }

    // Entries beyond n are never computed: they travel from yin to yout untouched.
    AmountVector Y = yin;
    WorkingFloat t = t0;
    const WorkingFloat L = (t1 - t0) / 3;
    WorkingFloat errorScale = 0;

    ModelMatrix A0;
    AmountVector F0, D, AD, q, r, s;
    AmountVector Ytau, Rtau, W, AW, R1, Yn, Yf;
    do {
        // Freeze the model at the start of the step.
        EvaluateAM(rhs, n, t, Y, A0);
        EvaluateFM(rhs, n, t, Y, F0);
        MatrixTimesVectorPlus(n, Y, F0, A0, D);
        MatrixTimesVector(n, A0, D, AD);

        // Proposed length (before the halving of the first attempt): grows with the margin
        // the last step left under the tolerance, at most 2·L, and lands on t1.
        h = h * kGrowth * std::fabs(tol - errorScale) / tol;
        if (h > 2 * L) h = 2 * L;
        if (t + h / 2 > t1) h = 2 * (t1 - t);
        if (!(h > 0)) {
            AddCode(err, TessuvanIntegrationStepLength);
            yout = Y;
            return;
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

            ExponentialWeights(n, h, A0, q, r, s);
            Ytau = Y;
            for (int i = 1; i <= n; ++i) Ytau[i] = Y[i] + tau * D[i];
            LinearizationRemainder(rhs, n, t + tau, Ytau, A0, F0, Rtau);

            Yn = Y;
            for (int i = 1; i <= n; ++i) {
                const WorkingFloat firstOrder = Y[i] + h * D[i];
                W[i] = r[i] * (AD[i] + Rtau[i] / tau);
                Yn[i] = firstOrder + W[i];
            }
            LinearizationRemainder(rhs, n, t + h, Yn, A0, F0, R1);
            MatrixTimesVector(n, A0, W, AW);

            Yf = Yn;
            for (int i = 1; i <= n; ++i) {
                const WorkingFloat C = R1[i] - Rtau[i] / kSampleFraction + AW[i] - A0[i][i] * W[i];
                Yf[i] = Yn[i] + s[i] * C / (h * h);
                if (std::fabs(Yf[i]) > ObservationThreshold) errorScale = errorScale + std::fabs(h * C / Yf[i]);
            }

            // Accepted under the tolerance; a step below 1e-130 is kept whatever its error.
            if (tol > errorScale || h < ObservationThreshold || last) break;
        }

        if (h < ObservationThreshold) AddCode(err, TessuvanIntegrationShortStep);
        t = last ? t1 : t + h;
        Y = Yf;
    } while (t < t1 && h >= ObservationThreshold);

    if (t < t1) AddCode(err, TessuvanIntegrationShortStep);
    yout = Y;
}

}  // namespace tessuvan
