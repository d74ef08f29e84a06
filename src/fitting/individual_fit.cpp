#include "fitting/individual_fit.h"

#include "fitting/gauss_newton_step.h"
#include "fitting/individual_level.h"

namespace tessuvan {

void IndividualStep(LibraryState& state, StepMode mode, int i) { GaussNewtonStep(IndividualLevel(state, i), mode); }

void BuildIndividualNormalEquations(LibraryState& state, StepMode mode, int i, int& count, FitMatrix& M, FitVector& g)
{
    BuildNormalEquations(IndividualLevel(state, i), mode, count, M, g);
}

void IndividualSensitivitiesByDifference(LibraryState& state, int i) { SensitivitiesByDifference(IndividualLevel(state, i)); }

void UpdateIndividualSensitivities(LibraryState& state, int i) { UpdateSensitivities(IndividualLevel(state, i)); }

}  // namespace tessuvan
