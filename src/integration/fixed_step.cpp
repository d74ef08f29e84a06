// "RUNGE-KUTTA 4" and "RUNGE-KUTTA 5": steps of one length (t1 - t0)·√tol, the last one cut to
// end at t1.
#include "integration/fixed_step.h"

#include <cmath>

#include "integration/methods.h"

namespace tessuvan {

namespace {

// trial := y + k·weight over 1..n; entries beyond n keep y's values, which is what a formula
// reading a species beyond n sees.
inline void Advance(int n, const AmountVector& y, const AmountVector& k, WorkingFloat weight, AmountVector& trial)
{
    trial = y;
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + k[i] * weight;
}

// k := h·f(t, x) over 1..n.
inline void Stage(const RightHandSide& rhs, int n, WorkingFloat h, WorkingFloat t, const AmountVector& x,
                  AmountVector& k)
{
    ModelDerivative(rhs, n, t, x, k);
    for (int i = 1; i <= n; ++i) k[i] = h * k[i];
}

using FixedStep = void (*)(const RightHandSide&, int, WorkingFloat, WorkingFloat, AmountVector&);

void IntegrateFixedSteps(FixedStep step, const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1,
                         WorkingFloat tol, const AmountVector& yin, AmountVector& yout, int16_t& err)
{
    FixedStepStart start = PrepareFixedStep(t0, t1, tol, yin);
    err = start.err;
    if (err != 0) return;  // nothing integrated, yout not written
    WorkingFloat h = start.h;
    WorkingFloat t = start.t;
    AmountVector& y = start.y;
    while (t < t1) {
        if (t + h > t1) h = t1 - t;
        if (!(t + h > t)) {
            // h is below the resolution of the clock at t: adding it would leave t where it
            // is for ever. The rest of the interval is one step.
            step(rhs, n, t1 - t, t, y);
            t = t1;
            break;
        }
        step(rhs, n, h, t, y);
        t = t + h;
    }
    yout = y;
}

}  // namespace

FixedStepStart PrepareFixedStep(WorkingFloat t0, WorkingFloat t1, WorkingFloat tol, const AmountVector& yin)
{
    FixedStepStart start;
    if (tol <= 0) start.err = TessuvanIntegrationTolerance;
    if (t0 >= t1) start.err = TessuvanIntegrationInterval;
    start.t = t0;
    start.y = yin;
    if (start.err == 0) {
        start.h = (t1 - t0) * std::sqrt(tol);
        // A time or tolerance that is not a number, or an interval so short that the step
        // underflows, leaves no step to take.
        if (!(start.h > 0)) {
            start.h = 0;
            start.err = TessuvanIntegrationStepLength;
        }
    }
    return start;
}

void RungeKutta4Step(const RightHandSide& rhs, int n, WorkingFloat h, WorkingFloat t, AmountVector& y)
{
    const WorkingFloat half = h * WorkingFloat(0.5);
    AmountVector k1, k2, k3, k4, trial;
    Stage(rhs, n, h, t, y, k1);
    Advance(n, y, k1, WorkingFloat(0.5), trial);
    Stage(rhs, n, h, t + half, trial, k2);
    Advance(n, y, k2, WorkingFloat(0.5), trial);
    Stage(rhs, n, h, t + half, trial, k3);
    Advance(n, y, k3, WorkingFloat(1), trial);
    Stage(rhs, n, h, t + h, trial, k4);
    for (int i = 1; i <= n; ++i) y[i] = y[i] + (k1[i] + k2[i] * 2 + k3[i] * 2 + k4[i]) / 6;
}

void FehlbergStep(const RightHandSide& rhs, int n, WorkingFloat h, WorkingFloat t, AmountVector& y)
{
    AmountVector k1, k2, k3, k4, k5, trial;
    Stage(rhs, n, h, t, y, k1);
    Advance(n, y, k1, WorkingFloat(0.25), trial);

    Stage(rhs, n, h, t + h * WorkingFloat(0.25), trial, k2);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + (k1[i] * 3 + k2[i] * 9) / 32;

    Stage(rhs, n, h, t + (h * 3) / 8, trial, k3);
    for (int i = 1; i <= n; ++i) trial[i] = y[i] + (k1[i] * 1932 - k2[i] * 7200 + k3[i] * 7296) / 2197;

    Stage(rhs, n, h, t + (h * 12) / 13, trial, k4);
    for (int i = 1; i <= n; ++i)
        trial[i] = y[i] + (k1[i] * 8341 - k2[i] * 32832 + k3[i] * 29440 - k4[i] * 845) / 4104;

    Stage(rhs, n, h, t + h, trial, k5);
    for (int i = 1; i <= n; ++i)
        y[i] = y[i] + (k1[i] * 2375 + k3[i] * 11264 + k4[i] * 10985 - k5[i] * 4104) / 20520;
}

void IntegrateRungeKutta4(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                          AmountVector yin, AmountVector& yout, int16_t& err)
{
    IntegrateFixedSteps(&RungeKutta4Step, rhs, n, t0, t1, tol, yin, yout, err);
}

void IntegrateRungeKutta5(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                          AmountVector yin, AmountVector& yout, int16_t& err)
{
    IntegrateFixedSteps(&FehlbergStep, rhs, n, t0, t1, tol, yin, yout, err);
}

}  // namespace tessuvan
