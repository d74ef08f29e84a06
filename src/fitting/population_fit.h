// The population fit: one iteration (gauss_newton_iteration.h) of the population level
// (population_level.h), and after convergence the standard errors; the exported entry point
// is AjustementPop (entry/ajustement_pop.cpp). The routines below are that level's step and
// derivatives (gauss_newton_step.h).
#pragma once

#include "fitting/fit_support.h"
#include "fitting/linear_solver.h"
#include "library/library_state.h"

namespace tessuvan {

// One step; with no parameter fitted no system is solved and no dP[0] is written, otherwise
// dP[0] of the parameters not fitted becomes 0.
void PopulationStep(LibraryState& state, StepMode mode);

void BuildPopulationNormalEquations(LibraryState& state, StepMode mode, int& count, FitMatrix& M, FitVector& g);

// PopulationSensitivity of every fitted parameter by forward difference, simulating all
// individuals; also taken for the standard errors.
void PopulationSensitivitiesByDifference(LibraryState& state);

void UpdatePopulationSensitivities(LibraryState& state);

}  // namespace tessuvan
