// "RUNGE-KUTTA 4" and "CHU-BERMAN" on a right-hand-side plan: the same steps, in the same
// order of operations, as IntegrateRungeKutta4 and IntegrateChuBerman, with A and F taken
// from the plan (fixed entries evaluated once per interval, absent ones never) and without
// the copies of whole amount vectors and matrices that the plain routines make at every
// stage. The amounts they produce, and their codes, are those of the plain routines to the
// last bit; a right-hand side without a plan for n takes the plain routine itself.
#pragma once

#include "integration/right_hand_side.h"

namespace tessuvan {

void IntegrateRungeKutta4Planned(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                                 AmountVector yin, AmountVector& yout, int16_t& err);
void IntegrateChuBermanPlanned(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                               AmountVector yin, AmountVector& yout, int16_t& err);

// The routine the drivers run for a chosen method when fast paths are on: the planned
// counterpart where one exists, the method itself otherwise (its right-hand side still goes
// through the plan).
Integrator FastCounterpart(Integrator method);

}  // namespace tessuvan
