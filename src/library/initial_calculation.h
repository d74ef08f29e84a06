// Loading a model: the helpers of CalculInitial (entry_points.h) that others reuse.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// Counts the observations (values above 1e-130) per individual and in total, and the
// individuals with any; an individual without observations has its fit codes demoted (1 to 0,
// 2 to 3). Returns whether any observation exists.
bool CountObservations(LibraryState& state, ModelStore& store);

}  // namespace tessuvan
