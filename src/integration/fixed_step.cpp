// "RUNGE-KUTTA 4" and "RUNGE-KUTTA 5": steps of one length (t1 - t0)·√tol, the last one cut to
// end at t1. The step length is fixed by the tolerance alone, so every interval is covered in
// about 1/√tol steps whatever its length.
#include "integration/fixed_step.h"

#include "integration/interval.h"
#include "integration/methods.h"

namespace tessuvan {

namespace {

struct ClassicStep {
    template <class Source, class Size>
    static void Take(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                     AmountVector& y, AmountVector& trial)
    {
        RungeKutta4Step(source, size, c, h, t, y, trial);
    }
};
struct FehlbergFiveStages {
    template <class Source, class Size>
    static void Take(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat h, WorkingFloat t,
                     AmountVector& y, AmountVector& trial)
    {
        FehlbergStep(source, size, c, h, t, y, trial);
    }
};

// The interval loop of both methods, from t0 with the first step length h. It adds no code
// unless the interval reaches the ceiling on its steps.
template <class Step>
struct FixedStepLoop {
    static constexpr ArgumentRule kArguments = kFixedStepArguments;

    template <class Source, class Size>
    static int16_t Run(const Source& source, Size size, WorkingFloat h, WorkingFloat t0, WorkingFloat t1,
                       WorkingFloat, AmountVector& y)
    {
        Coefficients<Size> c;
        source.Begin(size, c);
        AmountVector trial = y;
        WorkingFloat t = t0;
        int64_t steps = 0;
        while (t < t1) {
            if (steps == kMostStepsPerInterval) return TessuvanIntegrationStepCeiling;
            ++steps;
            if (t + h > t1) h = t1 - t;
            if (!(t + h > t)) {
                // h is below the resolution of the clock at t: adding it would leave t where it
                // is for ever. The rest of the interval is one step.
                Step::Take(source, size, c, t1 - t, t, y, trial);
                break;
            }
            Step::Take(source, size, c, h, t, y, trial);
            t = t + h;
        }
        return 0;
    }
};

}  // namespace

// "RUNGE-KUTTA 4" and "RUNGE-KUTTA 5".
struct RungeKutta4Loop : FixedStepLoop<ClassicStep> {};
struct RungeKutta5Loop : FixedStepLoop<FehlbergFiveStages> {};
template IntegrationRoutine Integrate<RungeKutta4Loop>;
template IntegrationRoutine Integrate<RungeKutta5Loop>;

}  // namespace tessuvan
