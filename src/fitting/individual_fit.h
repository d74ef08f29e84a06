// The individual fit: one iteration (gauss_newton_iteration.h) of individual i as a level
// (individual_level.h); the exported entry point is AjustementInd (entry/ajustement_ind.cpp).
// The routines below are that level's step and derivatives (gauss_newton_step.h).
#pragma once

#include "fitting/fit_support.h"
#include "fitting/linear_solver.h"
#include "library/library_state.h"

namespace tessuvan {

// One step for individual i; the solver is called even with no parameter fitted (its order
// status is then reported), and dP[i] of the parameters not fitted stays as it was.
void IndividualStep(LibraryState& state, StepMode mode, int i);

void BuildIndividualNormalEquations(LibraryState& state, StepMode mode, int i, int& count, FitMatrix& M, FitVector& g);

// IndividualSensitivity of individual i by forward difference, simulating i alone.
void IndividualSensitivitiesByDifference(LibraryState& state, int i);

void UpdateIndividualSensitivities(LibraryState& state, int i);

}  // namespace tessuvan
