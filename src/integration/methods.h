// The four integration methods, each an Integrator (see right_hand_side.h), and their
// selection by the name the host passes in BFitSet.Method.
#pragma once

#include <string_view>

#include "integration/right_hand_side.h"

namespace tessuvan {

// "RUNGE-KUTTA 4": fixed steps of (t1 - t0)·√tol, classic four-stage step.
void IntegrateRungeKutta4(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                          AmountVector yin, AmountVector& yout, int16_t& err);
// "RUNGE-KUTTA 5": fixed steps, the five-stage Fehlberg step with its fourth-order weights.
void IntegrateRungeKutta5(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                          AmountVector yin, AmountVector& yout, int16_t& err);
// "RUNGE-KUTTA QC": classic steps with step-doubling quality control.
void IntegrateRungeKuttaQC(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                           AmountVector yin, AmountVector& yout, int16_t& err);
// "CHU-BERMAN": adaptive exponential method on the diagonal of A.
void IntegrateChuBerman(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                        AmountVector yin, AmountVector& yout, int16_t& err);

// The method of that exact name, or nullptr for any other text.
Integrator IntegratorNamed(std::string_view name);

}  // namespace tessuvan
