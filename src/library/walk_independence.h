// Whether the walks of a simulation are independent of one another: the condition under which
// they may run in any order, side by side, or be replayed from a record.
#pragma once

#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// Whether the walks of a simulation depend only on the values installed for them, not on the
// cells an earlier walk (of the same simulation or of the one before) left behind. A walk
// installs the time of its first point and every adjustable and Q value, evaluates the defining
// formulas in order, then at its first point sets every P parameter and every species amount
// in order. Nothing is carried over when
//   - every individual has at least one point;
//   - every P parameter has a formula at the first interrupt that reads no species amount and
//     no P parameter at or after its own number;
//   - every species has, for every individual, a formula at the first interrupt that reads no
//     amount at or after its own number;
//   - no defining formula reads a P parameter, a species amount, or a defined parameter after
//     its own number.
// Simulations of such a model may then run in any order, or side by side, with the results of
// the sequential order to the last bit.
bool WalksStartAfresh(const LibraryState& state, const ModelStore& store);

}  // namespace tessuvan
