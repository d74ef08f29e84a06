// Loading a model, the body of Calcul_initial (entry/calcul_initial.cpp): reads the data and
// species files, prepares every formula (tokenize, then simplify and compile while no error
// has been found), selects the integration method by name, installs the parameter values and
// counts observations and fitted values. Codes are summed into the host's Erreur; the library
// copy of BFitSet is not touched.
#pragma once

#include <string_view>
#include <vector>

#include "library/library_state.h"
#include "library/model_store.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// The data points and the species lines handed over in memory instead of the two files: the
// records the data file would hold, and the text the species file would hold. A model loaded
// from them has no files: its simulations write no result file (the predictions stay in the
// store) and Fin erases nothing.
struct ModelDataInMemory {
    const std::vector<TessuvanPointRecord>& points;
    std::string_view speciesText;
};

// Releases any model still loaded, then loads the host's, from the files its records name or,
// given data, from memory (the file names are then not read). The model is ready for
// simulations and fits when Erreur ends at 0.
void LoadModel(LibraryState& state, BInitials& init, BFitSet& fit, ParameterTable& table, PParameterTexts& pTexts,
               QParameterValues& qValues, OutputTexts& outputs, const ModelDataInMemory* data = nullptr);

// Counts the observations (values above 1e-130) per individual and in total, and the
// individuals with any; an individual without observations has its fit codes demoted (1 to 0,
// 2 to 3). Returns whether any observation exists.
bool CountObservations(LibraryState& state, ModelStore& store);

}  // namespace tessuvan
