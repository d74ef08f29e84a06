// The engine behind the five exported functions, on an explicit library state so that tests
// can run their own instances, one file each: calcul_initial.cpp, simulation.cpp,
// ajustement_pop.cpp, ajustement_ind.cpp, fin.cpp. The exports (exports.cpp) only add the
// process-wide state, the floating-point guard and the catch-all that turns any failure into
// a code. This room is the top of the arrows: it calls library/ and fitting/, and nothing
// below includes it.
#pragma once

#include <cstdint>

#include "library/library_state.h"
#include "library/model_load.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// data: the points and species lines in memory instead of the files (library/model_load.h).
void CalculInitial(LibraryState& state, BInitials* init, BFitSet* fit, ParameterTable* table,
                   PParameterTexts* pTexts, QParameterValues* qValues, OutputTexts* outputs,
                   const ModelDataInMemory* data = nullptr);
void RunSimulation(LibraryState& state, BInitials* init, BFitSet* fit, void* reserved,
                   ParameterTable* table);
void AjustementPop(LibraryState& state, BInitials* init, BFitSet* fit, void* reserved,
                   ParameterTable* table);
void AjustementInd(LibraryState& state, int16_t* individual, BInitials* init, BFitSet* fit,
                   void* reserved, ParameterTable* table);
void FinRun(LibraryState& state, BInitials* init, BFitSet* fit);

}  // namespace tessuvan
