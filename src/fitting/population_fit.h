// The population fit: one iteration of at most two damped Gauss–Newton steps on the population
// values PV[0] of the parameters whose population code is 2 or 3, minimising
//   Σ_i Σ_l Σ_k Weight·(Observed − PopulationPrediction)²  +  Σ_p PW[1]·(PV[NIndividuals+1] − PV[0])².
// The first step uses forward-difference derivatives, the second the same derivatives after a
// secant correction; the exported entry point is AjustementPop (library/entry_points.h).
//
// Each step solves (JᵀWJ + P)·x = JᵀW·(observed − predicted) + P·(centre − value) with the
// diagonal multiplied by (1 + Marquard), where J holds the population sensitivities of the
// fitted parameters, W the weights and P the prior weights PW[1].
#pragma once

#include "fitting/fit_support.h"
#include "fitting/linear_solver.h"
#include "library/library_state.h"

namespace tessuvan {

// One step: builds and solves the equations and writes dP[0] (0 for parameters not fitted),
// limited to 90 % of the value. Adds the solver status to the working Erreur; while that is
// non-zero, or when no parameter is fitted, no system is solved and no dP[0] is written.
void PopulationStep(LibraryState& state, StepMode mode);

// The damped normal equations of order count (the number of fitted parameters) into M and g.
// Data terms enter only while the working Erreur is 0.
void BuildPopulationNormalEquations(LibraryState& state, StepMode mode, int& count, FitMatrix& M, FitVector& g);

// PopulationSensitivity of every fitted parameter p by forward difference: PV[0] is raised by
// 1 %, the population is simulated on a scratch copy of the store, PV[0] is restored, and
//   S = (scratch PopulationPrediction − stored PopulationPrediction)·100 / PV[0].
// The stored predictions must be those of the current values. Columns of parameters that are
// not fitted are not written.
void PopulationSensitivitiesByDifference(LibraryState& state);

// Secant correction after the step dP[0] just applied: with d = Σ dP[0]² over the fitted
// parameters, for each fitted column c in turn and every point and output,
//   t = Σ_q S[q]·dP_q,   u = Σ_q (PopulationPrediction − PreviousPopulationPrediction − t)·dP_q,
//   S[c] += u / d,
// the columns corrected earlier taking part in t. Skipped when d is not above 1e-130 or when
// no prediction moved (the step was too small to change any value): such a step carries no
// secant information, and its correction would turn the derivatives into rounding noise.
void UpdatePopulationSensitivities(LibraryState& state);

}  // namespace tessuvan
