// The host's counts against the capacities of this build (tessuvan_build.h).
#pragma once

#include "common/numeric.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// Whether every count of counts lies within the capacities of this build (0 up to the
// capacity; NPoints not negative).
bool CountsWithinCapacities(const BInitials& counts);

}  // namespace tessuvan
