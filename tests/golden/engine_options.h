// The engine options the golden corpus is recorded under. They change how the engine reaches
// its results (the plan of the equations and the planned methods; walks and finite differences
// side by side), never the results, so every configuration records the same stream.
#pragma once

#include "library/library_state.h"

namespace tessuvan::golden {

struct EngineOptions {
    bool fastPaths = true;
    int threadGroups = 1;  // groups of walks or differences side by side; 1 is the sequential order
};

// The one place that knows where the engine keeps these options: set on a fresh state,
// before the first call.
inline void SetEngineOptions(LibraryState& state, const EngineOptions& options)
{
    state.fastPaths = options.fastPaths;
    state.threadGroups = options.threadGroups;
}

}  // namespace tessuvan::golden
