// How many groups a piece of side-by-side work is split into.
#pragma once

#include "library/library_state.h"

namespace tessuvan {

// How many groups count pieces of side-by-side work run in: one per processor the calling
// thread may use, or options.threadGroups when a test sets it; at most one per piece, never
// more than kMostSideBySideGroups, at least 1 (the pieces then run in order).
int SideBySideGroups(const EngineOptions& options, int count);

}  // namespace tessuvan
