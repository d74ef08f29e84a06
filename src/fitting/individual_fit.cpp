#include "fitting/individual_fit.h"

#include "fitting/gauss_newton_iteration.h"
#include "fitting/gauss_newton_step.h"
#include "fitting/individual_level.h"
#include "entry/entry_points.h"

namespace tessuvan {

void IndividualStep(LibraryState& state, StepMode mode, int i) { GaussNewtonStep(IndividualLevel(state, i), mode); }

void BuildIndividualNormalEquations(LibraryState& state, StepMode mode, int i, int& count, FitMatrix& M, FitVector& g)
{
    BuildNormalEquations(IndividualLevel(state, i), mode, count, M, g);
}

void IndividualSensitivitiesByDifference(LibraryState& state, int i) { SensitivitiesByDifference(IndividualLevel(state, i)); }

void UpdateIndividualSensitivities(LibraryState& state, int i) { UpdateSensitivities(IndividualLevel(state, i)); }

void AjustementInd(LibraryState& state, int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                   ParameterTable* table)
{
    if (fit == nullptr) return;
    if (!FitCallIsValid(state, init, table) || individual == nullptr || *individual < 1 ||
        *individual > init->NIndividuals) {
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    const int i = *individual;
    const int n = init->NAjustables;
    const ReusingUnchangedWalks reuse(state);
    const ValueSnapshot snapshot = SnapshotValues(state, i, n);
    TakeWorkingCopies(state, *init, *fit);

    // A population-only parameter takes the population value.
    for (int p = 1; p <= n; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        parameter.PA[i] = table->FitCodes[i][p - 1];
        if (parameter.PA[i] == FitCodePopulationOnly) parameter.PV[i] = parameter.PV[0];
    }
    for (int p = 1; p <= n; ++p) state.variables.AdjustableValues[p] = state.AdjustableTable[p].PV[i];
    RunSimulation(state, init, fit, reserved, table);

    // An individual without observations has nothing to fit: it takes the population values.
    if (state.store->ObservationCount(i) == 0) {
        for (int p = 1; p <= n; ++p) state.AdjustableTable[p].PV[i] = state.AdjustableTable[p].PV[0];
        return;
    }
    GaussNewtonIteration(IndividualLevel(state, i), FitCall{init, fit, reserved, table}, snapshot);
}

}  // namespace tessuvan
