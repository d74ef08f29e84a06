// The individual fit: one iteration of at most two damped Gauss–Newton steps on the values
// PV[i] of one individual i, minimising that individual's weighted squared residuals
//   Σ_l Σ_k Weight·(Observed − IndividualPrediction)²
// plus a prior term per fitted parameter: towards the population value PV[0] with weight
// PW[0]·(ObservationCount[i] + 1) for code 2, towards the a-priori centre PV[NIndividuals+1]
// with weight PW[1] for code 1. The exported entry point is AjustementInd
// (library/entry_points.h).
//
// A parameter is fitted for individual i when its code PA[i] is 1 or 2 and PV[i] > 1e-130; the
// test is made afresh with the current value wherever it is used, so only positive values are
// ever fitted, and the step limit keeps them above a tenth of what they were.
#pragma once

#include "fitting/fit_support.h"
#include "fitting/linear_solver.h"
#include "library/library_state.h"

namespace tessuvan {

// Parameters fitted for individual i, in parameter order.
FittedParameters IndividualFittedParameters(const LibraryState& state, int i);

// One step for individual i: builds and always solves the equations (no fitted parameter gives
// the solver's order status), adds the status to the working Erreur and, when that is 0, writes
// dP[i] of the fitted parameters, limited to 90 % of the value. dP[i] of the others stays.
void IndividualStep(LibraryState& state, StepMode mode, int i);

// The damped normal equations of individual i, of order count, into M and g. Data terms enter
// only while the working Erreur is 0.
void BuildIndividualNormalEquations(LibraryState& state, StepMode mode, int i, int& count, FitMatrix& M, FitVector& g);

// IndividualSensitivity of individual i by forward difference: PV[i] raised by 1 %, individual
// i simulated on a scratch copy of the store, PV[i] restored, and
//   T = (scratch IndividualPrediction − stored IndividualPrediction)·100 / PV[i].
void IndividualSensitivitiesByDifference(LibraryState& state, int i);

// Secant correction of individual i's sensitivities after the step dP[i], as for the
// population; skipped when Σ dP[i]² is not above 1e-130 or when no prediction of i moved.
void UpdateIndividualSensitivities(LibraryState& state, int i);

}  // namespace tessuvan
