// The simulation drivers: one individual with its own values, or every individual with the
// population values, walking the points through their interrupts and integrating from each
// point to the next. They write through the store they are given, so a fit can simulate on a
// scratch copy; the formula variables and the library copy of BFitSet.Erreur are the state's.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"
#include "library/walk_reuse.h"

namespace tessuvan {

// A walk: individual a's points with the population values, or with its own.
enum class WalkLevel { Individual, Population };

// Whether walk a can run on store (a within the model's individuals and the store's).
bool WalkSimulable(const LibraryState& state, int a, const ModelStore& store);
// What walk (level, a) depends on now (walk_reuse.h).
WalkInputs InputsOfWalk(const LibraryState& state, int a, const ModelStore& store, WalkLevel level);
// Runs walk (level, a) on store; with a record (started for the walk's inputs), keeps what the
// walk did, valid once it has run to its end.
void RunWalk(LibraryState& state, int a, ModelStore& store, WalkLevel level, WalkRecord* record);
// Does again onto store and state what the record's walk did: the same writes with the same
// values, the defined values, the cells and the code it left.
void ReplayWalkRecord(LibraryState& state, int a, ModelStore& store, WalkLevel level, const WalkRecord& record);

// Individual predictions of individual a (1..NIndividuals) into store.
void SimulateIndividual(LibraryState& state, int a, ModelStore& store);
// Population predictions of every individual into store.
void SimulatePopulation(LibraryState& state, ModelStore& store);
// Every walk of a whole-population simulation: SimulateEveryWalk (every_walk.h).

}  // namespace tessuvan
