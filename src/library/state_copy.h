// A second engine state for simulations that run beside the first (the finite differences of
// a fit): the loaded model with its formulas bound to cells of its own, and what the drivers
// read, as the first state holds it at the moment of the copy.
#pragma once

#include <memory>

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// Whether the walks of a simulation depend only on the values installed for them, not on the
// cells an earlier walk (of the same simulation or of the one before) left behind. A walk
// installs the time of its first point and every adjustable and Q value, evaluates the defining
// formulas in order, then at its first point sets every P parameter and every species amount
// in order. Nothing is carried over when
//   - every individual has at least one point;
//   - every P parameter has a formula at the first interrupt that reads no species amount and
//     no P parameter at or after its own number;
//   - every species has, for every individual, a formula at the first interrupt that reads no
//     amount at or after its own number;
//   - no defining formula reads a P parameter, a species amount, or a defined parameter after
//     its own number.
// Simulations of such a model may then run in any order, or side by side, with the results of
// the sequential order to the last bit.
bool WalksStartAfresh(const LibraryState& state, const ModelStore& store);

// A state that simulates as state would now: counts, the working BFitSet, the integration
// method and fast-path choice, every value and Q value, the formula cells' contents, and every
// compiled formula copied onto the new state's cells (the constant table stays shared, so
// state must outlive the copy and keep its constants). Its right-hand-side plan is built here,
// so that simulating on it allocates nothing. It has no store: it simulates into a scratch.
// nullptr when memory runs out.
std::unique_ptr<LibraryState> CopyForSimulation(LibraryState& state);

// Brings a copy made from state (since the model was loaded) up to state's counts, values,
// codes and choices, as CopyForSimulation would; its formulas and plan stay.
void RefreshCopy(LibraryState& copy, const LibraryState& state);

// How many groups count pieces of side-by-side work run in: one per processor the calling
// thread may use, or LibraryState::threadGroups when a test sets it; at most one per piece,
// never more than kMostSideBySideGroups, at least 1 (the pieces then run in order).
int SideBySideGroups(const LibraryState& state, int count);

// Copy n (0 .. 7) of the state, kept from one call to the next until the model is released:
// made on first use, refreshed on every later one. nullptr when memory runs out.
LibraryState* SideBySideCopy(LibraryState& state, int n);

}  // namespace tessuvan
