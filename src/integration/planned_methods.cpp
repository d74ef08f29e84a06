// The planned counterparts of the two methods most models run. Each mirrors its plain routine
// line for line (fixed_step.cpp, chu_berman.cpp): any change there must be made here too, and
// the plain-against-planned tests compare both on random models.
//
// Where the speed comes from, none of it changing an operation or its order:
// - the fixed entries of A and F are checked once per call and the varying ones evaluated at
//   each stage through the plan, without copying whole vectors or matrices;
// - for up to four species the loops have a constant trip count, so the compiler unrolls them
//   and keeps the amounts, stages and coefficients in registers;
// - when nothing varies (a linear model with constant coefficients over the interval) A and F
//   are read once per call.
#include "integration/planned_methods.h"

#include <cmath>

#include "integration/fixed_step.h"
#include "integration/methods.h"
#include "integration/right_hand_side_plan.h"

namespace tessuvan {

namespace {

// The species count, known at compile time (Fixed) or only at run time (AnyCount).
template <int N>
struct Fixed {
    static constexpr int kCapacity = N;
    static constexpr int Count() { return N; }
};
struct AnyCount {
    static constexpr int kCapacity = kMaxSpecies;
    int n;
    int Count() const { return n; }
};

// The leading n-by-n block of A and the first n entries of F, held where the loops read them
// (1-based, sized by the largest count the Size allows).
template <class Size>
struct Coefficients {
    WorkingFloat A[Size::kCapacity + 1][Size::kCapacity + 1];
    WorkingFloat F[Size::kCapacity + 1];
};

template <class Size>
inline void Load(const RightHandSidePlan& plan, Size size, Coefficients<Size>& c)
{
    const int n = size.Count();
    const ModelMatrix& A = plan.Matrix();
    const AmountVector& F = plan.FreeTerms();
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= n; ++j) c.A[i][j] = A[i][j];
        c.F[i] = F[i];
    }
}

// A and F at (t, x): evaluated for a varying plan, as loaded for a fixed one.
template <bool kVarying, class Size>
inline void Evaluate(RightHandSidePlan& plan, Size size, WorkingFloat t, const AmountVector& x, Coefficients<Size>& c)
{
    if constexpr (kVarying) {
        plan.AtPoint(t, x);
        Load(plan, size, c);
    }
}

// y := M·x over 1..n, summed left to right (MatrixTimesVector).
template <class Size, class Matrix>
inline void Product(Size size, const Matrix& M, const AmountVector& x, AmountVector& y)
{
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) {
        WorkingFloat sum = M[i][1] * x[1];
        for (int j = 2; j <= n; ++j) sum = sum + M[i][j] * x[j];
        y[i] = sum;
    }
}

// ---- "RUNGE-KUTTA 4" -----------------------------------------------------------------------

// k[i] := h·f(t, x)[i], f formed as MatrixTimesVectorPlus forms it.
template <bool kVarying, class Size>
inline void Stage(RightHandSidePlan& plan, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                  const AmountVector& x, AmountVector& k)
{
    Evaluate<kVarying>(plan, size, t, x, c);
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) {
        WorkingFloat sum = c.A[i][1] * x[1];
        for (int j = 2; j <= n; ++j) sum = sum + c.A[i][j] * x[j];
        sum = sum + c.F[i];
        k[i] = h * sum;
    }
}

// One classic step; trial enters and leaves with y's entries beyond n (they never change).
template <bool kVarying, class Size>
inline void RungeKutta4Step(RightHandSidePlan& plan, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                            AmountVector& y, AmountVector& trial)
{
    const int n = size.Count();
    const WorkingFloat half = h * WorkingFloat(0.5);
    AmountVector k1, k2, k3, k4;
    Stage<kVarying>(plan, size, c, h, t, y, k1);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k1[i] * WorkingFloat(0.5);
    Stage<kVarying>(plan, size, c, h, t + half, trial, k2);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k2[i] * WorkingFloat(0.5);
    Stage<kVarying>(plan, size, c, h, t + half, trial, k3);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k3[i] * WorkingFloat(1);
    Stage<kVarying>(plan, size, c, h, t + h, trial, k4);
    for (int i = 1; i <= n; ++i) y[i] = y[i] + (k1[i] + k2[i] * 2 + k3[i] * 2 + k4[i]) / 6;
}

// The loop of IntegrateFixedSteps after PrepareFixedStep found nothing wrong.
template <bool kVarying, class Size>
void RungeKutta4Steps(RightHandSidePlan& plan, Size size, WorkingFloat h, WorkingFloat t, WorkingFloat t1,
                      AmountVector& y)
{
    Coefficients<Size> c;
    if constexpr (!kVarying) Load(plan, size, c);
    AmountVector trial = y;
    while (t < t1) {
        if (t + h > t1) h = t1 - t;
        if (!(t + h > t)) {
            RungeKutta4Step<kVarying>(plan, size, c, t1 - t, t, y, trial);
            break;
        }
        RungeKutta4Step<kVarying>(plan, size, c, h, t, y, trial);
        t = t + h;
    }
}

// ---- "CHU-BERMAN" --------------------------------------------------------------------------

constexpr WorkingFloat kSampleFraction = TESSUVAN_WF(0.1);
constexpr WorkingFloat kSeriesThreshold = TESSUVAN_WF(1e-7);
constexpr WorkingFloat kGrowth = 4;

// ExponentialWeights, inline (q, r and s as its closed forms or series limits).
template <class Size, class Matrix>
inline void Weights(Size size, WorkingFloat h, const Matrix& A0, AmountVector& r, AmountVector& s)
{
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) {
        const WorkingFloat a = A0[i][i];
        if (std::fabs(a) < kSeriesThreshold || std::fabs(a * h) < kSeriesThreshold) {
            const WorkingFloat q = h;
            r[i] = q * h / 2;
            s[i] = r[i] * h / 3;
        } else {
            const WorkingFloat q = (std::exp(a * h) - 1) / a;
            r[i] = (q - h) / a;
            s[i] = (r[i] - h * h * WorkingFloat(0.5)) / a;
        }
    }
}

// LinearizationRemainder: A(t, X)·X - A0·X + F(t, X) - F0.
template <bool kVarying, class Size>
inline void Remainder(RightHandSidePlan& plan, Size size, Coefficients<Size>& c, WorkingFloat t, const AmountVector& X,
                      const Coefficients<Size>& c0, AmountVector& R)
{
    const int n = size.Count();
    AmountVector AX, A0X;
    Evaluate<kVarying>(plan, size, t, X, c);
    Product(size, c.A, X, AX);
    if constexpr (kVarying) {
        Product(size, c0.A, X, A0X);
    } else {
        // A(t, X) is A0 to the bit, so A0·X would repeat the same operations on the same operands.
        for (int i = 1; i <= n; ++i) A0X[i] = AX[i];
    }
    for (int i = 1; i <= n; ++i) R[i] = AX[i] - A0X[i] + c.F[i] - c0.F[i];
}

// The loop of IntegrateChuBerman after its argument checks; returns the code.
template <bool kVarying, class Size>
int16_t ChuBermanSteps(RightHandSidePlan& plan, Size size, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                       WorkingFloat h, const AmountVector& yin, AmountVector& yout)
{
    const int n = size.Count();
    int16_t err = 0;
    // Ytau and Yn carry yin's entries beyond n, as the plain routine's copies of Y do: varying
    // formulas may read them. Nothing reads them when nothing varies.
    AmountVector Y = yin;
    AmountVector Ytau, Yn, Yf;
    if constexpr (kVarying) Ytau = Yn = yin;
    WorkingFloat t = t0;
    const WorkingFloat L = (t1 - t0) / 3;
    WorkingFloat errorScale = 0;

    // With nothing varying, A(t, X) and F(t, X) are A0 and F0 throughout: one set serves both.
    Coefficients<Size> c0;
    Coefficients<Size> varying;
    Coefficients<Size>& c = kVarying ? varying : c0;
    if constexpr (!kVarying) Load(plan, size, c0);
    AmountVector D, AD, r, s;
    AmountVector Rtau, W, AW, R1;
    do {
        Evaluate<kVarying>(plan, size, t, Y, c0);
        Product(size, c0.A, Y, D);
        for (int i = 1; i <= n; ++i) D[i] = D[i] + c0.F[i];
        Product(size, c0.A, D, AD);

        h = h * kGrowth * std::fabs(tol - errorScale) / tol;
        if (h > 2 * L) h = 2 * L;
        if (t + h / 2 > t1) h = 2 * (t1 - t);
        if (!(h > 0)) {
            AddCode(err, TessuvanIntegrationStepLength);
            yout = Y;
            return err;
        }

        bool last = false;
        for (;;) {
            errorScale = 0;
            h = h / 2;
            last = h >= ObservationThreshold && !(t + h > t);
            if (last) h = t1 - t;
            const WorkingFloat tau = kSampleFraction * h;

            Weights(size, h, c0.A, r, s);
            for (int i = 1; i <= n; ++i) Ytau[i] = Y[i] + tau * D[i];
            Remainder<kVarying>(plan, size, c, t + tau, Ytau, c0, Rtau);

            for (int i = 1; i <= n; ++i) {
                const WorkingFloat firstOrder = Y[i] + h * D[i];
                W[i] = r[i] * (AD[i] + Rtau[i] / tau);
                Yn[i] = firstOrder + W[i];
            }
            Remainder<kVarying>(plan, size, c, t + h, Yn, c0, R1);
            Product(size, c0.A, W, AW);

            for (int i = 1; i <= n; ++i) {
                const WorkingFloat C = R1[i] - Rtau[i] / kSampleFraction + AW[i] - c0.A[i][i] * W[i];
                Yf[i] = Yn[i] + s[i] * C / (h * h);
                if (std::fabs(Yf[i]) > ObservationThreshold) errorScale = errorScale + std::fabs(h * C / Yf[i]);
            }

            if (tol > errorScale || h < ObservationThreshold || last) break;
        }

        if (h < ObservationThreshold) AddCode(err, TessuvanIntegrationShortStep);
        t = last ? t1 : t + h;
        for (int i = 1; i <= n; ++i) Y[i] = Yf[i];
    } while (t < t1 && h >= ObservationThreshold);

    if (t < t1) AddCode(err, TessuvanIntegrationShortStep);
    yout = Y;
    return err;
}

// Calls body(size) with the species count as a compile-time constant when it is small.
template <class Body>
inline void WithSpeciesCount(int n, Body&& body)
{
    switch (n) {
        case 1: body(Fixed<1>{}); break;
        case 2: body(Fixed<2>{}); break;
        case 3: body(Fixed<3>{}); break;
        case 4: body(Fixed<4>{}); break;
        default: body(AnyCount{n}); break;
    }
}

}  // namespace

void IntegrateRungeKutta4Planned(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                                 AmountVector yin, AmountVector& yout, int16_t& err)
{
    if (rhs.plan == nullptr || !rhs.plan->Serves(n)) {
        IntegrateRungeKutta4(rhs, n, t0, t1, tol, yin, yout, err);
        return;
    }
    RightHandSidePlan& plan = *rhs.plan;
    FixedStepStart start = PrepareFixedStep(t0, t1, tol, yin);
    err = start.err;
    if (err != 0) return;
    plan.PrepareInterval();
    WithSpeciesCount(n, [&](auto size) {
        if (plan.HasVarying())
            RungeKutta4Steps<true>(plan, size, start.h, start.t, t1, start.y);
        else
            RungeKutta4Steps<false>(plan, size, start.h, start.t, t1, start.y);
    });
    yout = start.y;
}

void IntegrateChuBermanPlanned(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                               AmountVector yin, AmountVector& yout, int16_t& err)
{
    if (rhs.plan == nullptr || !rhs.plan->Serves(n)) {
        IntegrateChuBerman(rhs, n, t0, t1, tol, yin, yout, err);
        return;
    }
    RightHandSidePlan& plan = *rhs.plan;
    err = 0;
    if (tol <= 0) err = TessuvanIntegrationTolerance;
    if (t0 >= t1) err = TessuvanIntegrationInterval;
    const WorkingFloat h = (t1 - t0) * std::sqrt(tol);
    if (err == 0 && !(h > 0)) err = TessuvanIntegrationStepLength;
    if (err != 0) {
        yout = yin;
        return;
    }
    plan.PrepareInterval();
    WithSpeciesCount(n, [&](auto size) {
        if (plan.HasVarying())
            err = ChuBermanSteps<true>(plan, size, t0, t1, tol, h, yin, yout);
        else
            err = ChuBermanSteps<false>(plan, size, t0, t1, tol, h, yin, yout);
    });
}

Integrator FastCounterpart(Integrator method)
{
    if (method == &IntegrateRungeKutta4) return &IntegrateRungeKutta4Planned;
    if (method == &IntegrateChuBerman) return &IntegrateChuBermanPlanned;
    return method;
}

}  // namespace tessuvan
