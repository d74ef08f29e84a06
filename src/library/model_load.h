// Loading a model, the body of Calcul_initial (entry/calcul_initial.cpp): reads the data and
// species files, prepares every formula (tokenize, then simplify and compile while no error
// has been found), selects the integration method by name, installs the parameter values and
// counts observations and fitted values. Codes are summed into the host's Erreur; the library
// copy of BFitSet is not touched.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// Releases any model still loaded, then loads the host's. The model is ready for simulations
// and fits when Erreur ends at 0.
void LoadModel(LibraryState& state, BInitials& init, BFitSet& fit, ParameterTable& table, PParameterTexts& pTexts,
               QParameterValues& qValues, OutputTexts& outputs);

// Counts the observations (values above 1e-130) per individual and in total, and the
// individuals with any; an individual without observations has its fit codes demoted (1 to 0,
// 2 to 3). Returns whether any observation exists.
bool CountObservations(LibraryState& state, ModelStore& store);

}  // namespace tessuvan
