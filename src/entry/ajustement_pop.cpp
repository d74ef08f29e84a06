// Ajustement_pop: one iteration of the population fit (fitting/population_fit.h) on the host's
// fit codes, or a plain simulation when the load found no population code 2 or 3; after
// convergence the standard errors go back in the Table.
#include <cmath>

#include "entry/entry_points.h"
#include "fitting/fit_support.h"
#include "fitting/gauss_newton_iteration.h"
#include "fitting/population_level.h"
#include "fitting/standard_errors.h"
#include "library/simulation.h"

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

void AjustementPop(LibraryState& state, BInitials* init, BFitSet* fit, void* /*reserved*/, ParameterTable* table)
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
        Simulate(state, init, fit, table);
        fit->Done = -1;
        return;
    }

    const IterationEnd end = GaussNewtonIteration(PopulationLevel(state), FitCall{init, fit, table}, snapshot);
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
