// The finite differences of a fit, one simulation per fitted parameter, side by side on the
// processors the machine has when the model allows it.
//
// The simulations of the finite differences differ only in the one value each raises; when
// every walk starts from cells it sets itself (WalksStartAfresh), they do not depend on one
// another, and each may run on a copy of the state bound to cells of its own. The parameters
// are split into consecutive groups: every group but the last runs on a copy in a thread of
// its own, the last runs on the state itself in the calling thread, so that the state is left
// exactly as the sequential order leaves it. Each column is computed from its own simulation
// by the same operations either way, so the derivatives are the same to the last bit.
//
// With one processor, a model that carries values from one walk to the next, a fitted
// parameter that has a definition (every walk rewrites its value), or when a copy,
// a scratch or a thread cannot be had, the groups run one after the other in the calling
// thread (the results are the same).
#pragma once

#include <functional>

#include "fitting/fit_support.h"
#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// One derivative column: raises parameter p on simulator, simulates into scratch, restores
// the value and writes the column of p from scratch's predictions. It must not allocate or
// write anything shared but the column of p.
using DifferenceColumn = std::function<void(LibraryState& simulator, ModelStore& scratch, int p)>;

// column for every parameter of fitted in order (see above). The working Erreur receives the
// out-of-memory code, and no column is computed, when not even one scratch can be made.
void ForEachDifference(LibraryState& state, const FittedParameters& fitted, const DifferenceColumn& column);

}  // namespace tessuvan
