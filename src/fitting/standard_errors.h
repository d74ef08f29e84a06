// Standard errors of the population values after the population fit has converged: the square
// roots of the diagonal of the inverse of the information matrix JᵀWJ (no prior, no damping),
// with J the forward-difference population sensitivities at the final values and W the
// weights. With an a-priori population they are then pooled with the a-priori deviations.
#pragma once

#include "fitting/linear_solver.h"
#include "library/library_state.h"

namespace tessuvan {

// √variance, or a NaN (not available) for a negative variance, which a badly conditioned
// information matrix can produce; no invalid operation is raised.
WorkingFloat StandardErrorOf(WorkingFloat variance);

// PS[0] of every adjustable parameter: √(M⁻¹)[a][a] for the fitted parameter of rank a, 0 for
// a parameter that is not fitted, and a NaN (not available) where that diagonal entry is
// negative. On a non-zero working Erreur (last integration of the differences, or the
// inversion's status added to it) PS[0] is left as it was.
void PopulationStandardErrors(LibraryState& state);

// The information matrix Σ Weight·S_p·S_q over individuals, outputs and points, of order count
// (the number of fitted parameters, 0 when no point was taken because the working Erreur was
// non-zero), after fresh finite differences at the current values.
void BuildPopulationInformation(LibraryState& state, int& count, FitMatrix& M);

// Pools each fitted parameter's standard error with its a-priori deviation PS[1], weighting
// by the a-priori population size and the number of individuals:
//   PS[0] = √((NPopAPriori·PS[1]² + NIndividuals·PS[0]²) / (NPopAPriori + NIndividuals));
// PS[0] of a parameter that is not fitted becomes 0.
void PoolPopulationDeviation(LibraryState& state);

}  // namespace tessuvan
