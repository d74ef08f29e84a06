// The simulation drivers: one individual with its own values, or every individual with the
// population values, walking the points through their interrupts and integrating from each
// point to the next. They write through the store they are given, so a fit can simulate on a
// scratch copy; the formula variables and the library copy of BFitSet.Erreur are the state's.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// Individual predictions of individual a (1..NIndividuals) into store.
void SimulateIndividual(LibraryState& state, int a, ModelStore& store);
// Population predictions of every individual into store.
void SimulatePopulation(LibraryState& state, ModelStore& store);

}  // namespace tessuvan
