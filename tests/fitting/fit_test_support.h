// A library state with a store of a given shape and nothing else loaded, for tests of the fit
// routines that work on stored predictions, weights and sensitivities alone.
#pragma once

#include <cstring>
#include <memory>

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan::testing {

// Every individual has `points` points; the state counts as loaded.
inline std::unique_ptr<LibraryState> StateWithStore(int individuals, int points, int outputs, int adjustables)
{
    auto state = std::make_unique<LibraryState>();
    state->store = ModelStore::Create({individuals, points, outputs, adjustables});
    for (int i = 1; i <= individuals; ++i) state->store->PointCount(i) = points;
    state->modelReady = true;
    state->modelAllocated = true;
    BInitials& counts = state->init.record;
    counts.NIndividuals = static_cast<int16_t>(individuals);
    counts.NSorties = static_cast<int16_t>(outputs);
    counts.NAjustables = static_cast<int16_t>(adjustables);
    state->loadedCounts = counts;
    state->ShapeTables(counts);
    return state;
}

// Host records of the state's counts, zero elsewhere.
struct HostRecords {
    BInitials init{};
    BFitSet fit{};
    std::unique_ptr<ParameterTable> table = std::make_unique<ParameterTable>();

    explicit HostRecords(const LibraryState& state)
    {
        std::memset(table.get(), 0, sizeof(ParameterTable));
        init = state.init.record;
    }
};

}  // namespace tessuvan::testing
