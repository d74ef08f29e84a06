// A second engine state for simulations that run beside the first (the finite differences of
// a fit): the loaded model with its formulas bound to cells of its own, and what the drivers
// read, as the first state holds it at the moment of the copy.
#pragma once

#include <memory>

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// A state that simulates as state would now: its values (ModelValues: counts, the working
// BFitSet, the integration method, every value and Q value, the formula cells' contents) and
// options, the loaded counts, and every compiled formula copied onto the new state's cells
// (the constant table stays shared, so state must outlive the copy and keep its constants).
// Its right-hand-side plan is built here, so that simulating on it allocates nothing. It has
// no store and no texts: it simulates into a scratch. nullptr when memory runs out.
std::unique_ptr<LibraryState> CopyForSimulation(LibraryState& state);

// Brings a copy made from state (since the model was loaded) up to state's values and options,
// as CopyForSimulation would; its formulas and plan stay. The tables have the loaded model's
// shape on both sides, so nothing is allocated.
void RefreshCopy(LibraryState& copy, const LibraryState& state);

// Copy n (0 .. 7) of the state, kept from one call to the next until the model is released:
// made on first use, refreshed on every later one. nullptr when memory runs out.
LibraryState* SideBySideCopy(LibraryState& state, int n);

}  // namespace tessuvan
