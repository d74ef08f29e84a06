#include "fitting/population_fit.h"

#include <cmath>

#include "fitting/gauss_newton_iteration.h"
#include "fitting/gauss_newton_step.h"
#include "fitting/population_level.h"
#include "fitting/standard_errors.h"
#include "library/entry_points.h"

namespace tessuvan {
namespace {

// Whether a parameter the table's population codes would fit has the value 0 (a magnitude not
// above 1e-130): its finite-difference increment would be 0 and its relative change undefined.
// (Without any population code 2 or 3 at load the call only simulates, and nothing is fitted.)
bool ZeroValueWouldBeFitted(const LibraryState& state, const BInitials& init, const ParameterTable& table)
{
    for (int p = 1; p <= init.NAjustables; ++p) {
        const int16_t code = table.FitCodes[0][p - 1];
        const bool fitted = code == FitCodePopulationAndIndividual || code == FitCodePopulationOnly;
        if (fitted && !(std::fabs(state.AdjustableTable[p].PV[0]) > ObservationThreshold)) return true;
    }
    return false;
}

}  // namespace

void PopulationStep(LibraryState& state, StepMode mode) { GaussNewtonStep(PopulationLevel(state), mode); }

void BuildPopulationNormalEquations(LibraryState& state, StepMode mode, int& count, FitMatrix& M, FitVector& g)
{
    BuildNormalEquations(PopulationLevel(state), mode, count, M, g);
}

void PopulationSensitivitiesByDifference(LibraryState& state) { SensitivitiesByDifference(PopulationLevel(state)); }

void UpdatePopulationSensitivities(LibraryState& state) { UpdateSensitivities(PopulationLevel(state)); }

void AjustementPop(LibraryState& state, BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    if (fit == nullptr) return;
    if (!FitCallIsValid(state, init, table)) {
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    if (state.PopulationFitFlag && ZeroValueWouldBeFitted(state, *init, *table)) {
        AddCode(fit->Erreur, TessuvanZeroFittedValue);
        return;
    }
    TakeWorkingCopies(state, *init, *fit);

    const BInitials& counts = state.init.record;
    const ReusingUnchangedWalks reuse(state);
    const int n = counts.NAjustables;
    const ValueSnapshot snapshot = SnapshotValues(state, 0, n);

    // The host may change at every call which parameters are fitted.
    for (int p = 1; p <= n; ++p) state.AdjustableTable[p].PA[0] = table->FitCodes[0][p - 1];

    if (!state.PopulationFitFlag) {
        for (int p = 1; p <= n; ++p) state.variables.AdjustableValues[p] = state.AdjustableTable[p].PV[0];
        RunSimulation(state, init, fit, reserved, table);
        fit->Done = -1;
        return;
    }

    const IterationEnd end = GaussNewtonIteration(PopulationLevel(state), FitCall{init, fit, reserved, table}, snapshot);
    if (end == IterationEnd::Stopped) return;
    if (end == IterationEnd::Converged) {
        PopulationStandardErrors(state);
        if (state.fit.Erreur != 0) {
            fit->Erreur = state.fit.Erreur;
            return;
        }
        if (counts.NPopAPriori > 0) PoolPopulationDeviation(state);
    }
    if (state.fit.Erreur == 0) {
        for (int p = 1; p <= n; ++p) {
            const bool defined = state.AdjustableDefinitions[p].PE != nullptr;
            table->StandardErrors[p - 1] = defined ? 0.0f : static_cast<float>(state.AdjustableTable[p].PS[0]);
        }
    }
}

}  // namespace tessuvan
