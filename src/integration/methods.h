// The four integration methods, each an Integrator (see right_hand_side.h), and their
// selection by the name the host passes in BFitSet.Method.
//
// A method is Integrate<Loop>: the frame every method shares (interval.h: the argument checks,
// the coefficient source, yout) around the method's own interval loop, defined and
// instantiated in the method's file.
#pragma once

#include <string_view>

#include "integration/right_hand_side.h"

namespace tessuvan {

template <class Loop>
void Integrate(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
               AmountVector yin, AmountVector& yout, int16_t& err);

struct RungeKutta4Loop;     // fixed_step.cpp
struct RungeKutta5Loop;     // fixed_step.cpp
struct QualityControlLoop;  // quality_control.cpp
struct ChuBermanLoop;       // chu_berman.cpp

extern template IntegrationRoutine Integrate<RungeKutta4Loop>;
extern template IntegrationRoutine Integrate<RungeKutta5Loop>;
extern template IntegrationRoutine Integrate<QualityControlLoop>;
extern template IntegrationRoutine Integrate<ChuBermanLoop>;

// "RUNGE-KUTTA 4": fixed steps of (t1 - t0)·√tol, classic four-stage step.
inline constexpr Integrator IntegrateRungeKutta4 = &Integrate<RungeKutta4Loop>;
// "RUNGE-KUTTA 5": fixed steps, the five-stage Fehlberg step with its fourth-order weights.
inline constexpr Integrator IntegrateRungeKutta5 = &Integrate<RungeKutta5Loop>;
// "RUNGE-KUTTA QC": classic steps with step-doubling quality control.
inline constexpr Integrator IntegrateRungeKuttaQC = &Integrate<QualityControlLoop>;
// "CHU-BERMAN": adaptive exponential method on the diagonal of A.
inline constexpr Integrator IntegrateChuBerman = &Integrate<ChuBermanLoop>;

// The method of that exact name, or nullptr for any other text.
Integrator IntegratorNamed(std::string_view name);

}  // namespace tessuvan
