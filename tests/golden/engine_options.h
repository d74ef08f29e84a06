// The engine options the golden corpus runs under, set in one place: when the options move
// within the library state, only this function changes.
#pragma once

#include "library/library_state.h"

namespace tessuvan::golden {

struct EngineOptions {
    bool fastPaths = true;  // the plan of the equations, planned methods, walk replay
    int threadGroups = 1;   // groups of walks or finite differences side by side
};

inline void ApplyEngineOptions(LibraryState& state, const EngineOptions& options)
{
    state.fastPaths = options.fastPaths;
    state.threadGroups = options.threadGroups;
}

}  // namespace tessuvan::golden
