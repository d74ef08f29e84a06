// Statistics after a simulation: observation weights from the power-law error model, the
// weights of the two a-priori terms, and the objective sums of BFitSet.ErreurCalc.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// Geometric mean of y^γ / (P − y)² over observations with a non-zero population residual;
// 1 when there is none.
WorkingFloat WeightScale(LibraryState& state);
// Weight of every point and output: scale · y^(−γ) where observed, else 0.
void ComputeWeights(LibraryState& state);
// PW[0] and PW[1] of every adjustable parameter.
void ComputePriorWeights(LibraryState& state);
// ErreurCalc of fit from the store's weights and predictions.
void SumObjectives(LibraryState& state, ModelStore& store, BFitSet& fit);

}  // namespace tessuvan
