// One damped Gauss–Newton step of a fit level (fit_level.h) and the derivatives it uses.
//
// The step solves (JᵀWJ + P)·x = JᵀW·(observed − predicted) + P·(centre − value) with the
// diagonal multiplied by (1 + Marquard), where J holds the level's sensitivities of its fitted
// parameters, W the weights and P the weights of the level's prior rows.
#pragma once

#include "fitting/fit_level.h"
#include "fitting/fit_support.h"
#include "fitting/linear_solver.h"

namespace tessuvan {

// The sensitivity of every fitted parameter p by forward difference: PV[column] is raised by
// 1 %, the level is simulated on a scratch copy of the store, PV[column] is restored, and
//   S = (scratch prediction − stored prediction)·100 / PV[column]
// at every point and output of the level's individuals. The stored predictions must be those
// of the current values. Columns of parameters that are not fitted are not written.
template <FitLevel Level>
void SensitivitiesByDifference(const Level& level);

// Secant correction after the step dP[column] just applied: with d = Σ dP² over the fitted
// parameters, for each fitted column c in turn and every point and output,
//   t = Σ_q S[q]·dP_q,   u = Σ_q (prediction − previous prediction − t)·dP_q,   S[c] += u / d,
// the columns corrected earlier taking part in t. Skipped when d is not above 1e-130 or when
// no prediction moved (the step was too small to change any value): such a step carries no
// secant information, and its correction would turn the derivatives into rounding noise.
template <FitLevel Level>
void UpdateSensitivities(const Level& level);

// The damped normal equations of order count (the number of fitted parameters) into M and g:
// the derivatives of the mode, the prior rows, the data terms (only while the working Erreur
// is 0; a point without an observation has weight 0), then the damping of the diagonal.
template <FitLevel Level>
void BuildNormalEquations(const Level& level, StepMode mode, int& count, FitMatrix& M, FitVector& g);

// One step: builds and solves the equations and writes dP[column] of the fitted parameters,
// limited to 90 % of the value (LimitedStep). Adds the solver status to the working Erreur;
// while that is non-zero no system is solved and no step is written.
template <FitLevel Level>
void GaussNewtonStep(const Level& level, StepMode mode);

}  // namespace tessuvan
