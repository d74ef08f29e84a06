#include "library/simulation.h"

#include "library/capacities.h"
#include "library/data_file.h"
#include "library/every_walk.h"
#include "library/host_text.h"
#include "library/statistics.h"

namespace tessuvan {

void Simulate(LibraryState& state, BInitials* init, BFitSet* fit, ParameterTable* table)
{
    if (fit == nullptr) return;
    if (init == nullptr || table == nullptr || !state.modelReady || state.store == nullptr ||
        !CountsWithinCapacities(*init) || !state.MatchesLoadedModel(*init)) {
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    state.init.record = *init;
    std::string resultFile;
    const bool named = !state.inMemory && ReadHostFileName(init->FileNameDat, resultFile);
    if (!state.inMemory) state.dataFileName = named ? resultFile : std::string();
    state.fit = *fit;

    ModelStore& store = *state.store;
    SimulateEveryWalk(state, store);
    ComputeWeights(state);
    ComputePriorWeights(state);
    SumObjectives(state, store, state.fit);

    // The library copy's code is that of the last interval integrated (or the host's own value
    // when nothing was integrated).
    AddCode(fit->Erreur, state.fit.Erreur);
    if (fit->Erreur != 0) return;

    // A model loaded from memory keeps its predictions in the store only.
    if (!state.inMemory) {
        if (!named || !WriteResultFile(state.dataFileName, state.init.record, store)) {
            AddCode(fit->Erreur, TessuvanFileError);
            return;
        }
        state.dataFileHandle = state.dataFileName;
    }

    *fit = state.fit;
    const BInitials& counts = state.init.record;
    for (int a = 1; a <= counts.NAjustables; ++a)
        for (int r = 0; r <= counts.NIndividuals; ++r)
            table->Values[r][a - 1] = static_cast<float>(state.AdjustableTable[a].PV[r]);
}

}  // namespace tessuvan
