// A whole-population simulation: every walk, side by side in threads when it may
// (every_walk.cpp), with the same results and state as one after the other.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// SimulatePopulation, then SimulateIndividual of every individual (drivers.h), on the model's
// own store: the walks that must run do so side by side in threads when the model's walks
// start afresh and there is enough of them, with the same results and state.
void SimulateEveryWalk(LibraryState& state, ModelStore& store);

}  // namespace tessuvan
