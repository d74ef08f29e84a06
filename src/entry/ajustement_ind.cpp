// Ajustement_ind: one iteration of individual i's fit (fitting/individual_fit.h) on the host's
// fit codes for i, after a simulation with i's values; an individual without observations
// takes the population values instead.
#include "entry/entry_points.h"
#include "fitting/fit_support.h"
#include "fitting/gauss_newton_iteration.h"
#include "fitting/individual_level.h"
#include "library/simulation.h"

namespace tessuvan {

void AjustementInd(LibraryState& state, int16_t* individual, BInitials* init, BFitSet* fit, void* /*reserved*/,
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
    Simulate(state, init, fit, table);

    // An individual without observations has nothing to fit: it takes the population values.
    if (state.store->ObservationCount(i) == 0) {
        for (int p = 1; p <= n; ++p) state.AdjustableTable[p].PV[i] = state.AdjustableTable[p].PV[0];
        return;
    }
    GaussNewtonIteration(IndividualLevel(state, i), FitCall{init, fit, table}, snapshot);
}

}  // namespace tessuvan
