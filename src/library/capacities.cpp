#include "library/capacities.h"

namespace tessuvan {

bool CountsWithinCapacities(const BInitials& c)
{
    auto within = [](TessuvanCount value, int capacity) { return value >= 0 && value <= capacity; };
    return within(c.NEspeces, kMaxSpecies) && within(c.NIndividuals, kMaxIndividuals) &&
           within(c.NInterrupts, kMaxInterrupts) && within(c.NPParametres, kMaxPParameters) &&
           within(c.NQParametres, kMaxQParameters) && within(c.NAjustables, kMaxAdjustables) &&
           within(c.NSorties, kMaxOutputs) && c.NPoints >= 0;
}

}  // namespace tessuvan
