// Engine-level runs: a host model (records and files built as a host builds them) driven
// through the engine's entry functions on a library state of the test's own, and integrators
// with a known outcome for testing the drivers apart from the methods.
#pragma once

#include <memory>

#include "abi/host_model.h"
#include "entry/entry_points.h"
#include "library/library_state.h"

namespace tessuvan::testing {

struct EngineBench {
    std::unique_ptr<LibraryState> state = std::make_unique<LibraryState>();
    tessuvan_host::HostModel model;

    void Load()
    {
        CalculInitial(*state, model.Init(), model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs());
    }
    void Simulate() { RunSimulation(*state, model.Init(), model.Fit(), nullptr, model.Table()); }
    void Release() { FinRun(*state, model.Init(), model.Fit()); }
    ModelStore& Store() { return *state->store; }
};

// Species 1 grows by the length of the interval: x1(t1) = x1(t0) + (t1 − t0). Reports code 3
// and leaves the amounts alone when t0 >= t1, as the Runge–Kutta methods do.
inline void ClockIntegrator(const RightHandSide&, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat,
                            AmountVector yin, AmountVector& yout, int16_t& err)
{
    err = 0;
    if (t0 >= t1) {
        err = TessuvanIntegrationInterval;
        return;
    }
    yout = yin;
    if (n >= 1) yout[1] = yin[1] + (t1 - t0);
}

// As ClockIntegrator, but every interval that ends at time 5 reports code 2.
inline void FailingAtFiveIntegrator(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                                    AmountVector yin, AmountVector& yout, int16_t& err)
{
    ClockIntegrator(rhs, n, t0, t1, tol, yin, yout, err);
    if (t1 == 5) err = TessuvanIntegrationStepBudget;
}

}  // namespace tessuvan::testing
