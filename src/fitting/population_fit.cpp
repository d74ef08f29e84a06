#include "fitting/population_fit.h"

#include "fitting/gauss_newton_step.h"
#include "fitting/population_level.h"

namespace tessuvan {

void PopulationStep(LibraryState& state, StepMode mode) { GaussNewtonStep(PopulationLevel(state), mode); }

void BuildPopulationNormalEquations(LibraryState& state, StepMode mode, int& count, FitMatrix& M, FitVector& g)
{
    BuildNormalEquations(PopulationLevel(state), mode, count, M, g);
}

void PopulationSensitivitiesByDifference(LibraryState& state) { SensitivitiesByDifference(PopulationLevel(state)); }

void UpdatePopulationSensitivities(LibraryState& state) { UpdateSensitivities(PopulationLevel(state)); }

}  // namespace tessuvan
