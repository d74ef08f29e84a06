// One simulation as the host sees it, the body of Simulation (entry/simulation.cpp) and of
// every simulation of a fit call: predictions for the population and every individual,
// weights and objective sums, then (when the code is 0) the result file, the host's BFitSet
// and the parameter values. The result file replaces the data file at FileNameDat, record by
// record.
#pragma once

#include "library/library_state.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// Codes are summed into fit->Erreur; a contract error (no model, records that do not match
// it) returns before anything is simulated.
void Simulate(LibraryState& state, BInitials* init, BFitSet* fit, ParameterTable* table);

}  // namespace tessuvan
