// Simulation: one simulation of the loaded model (library/simulation.h).
#include "entry/entry_points.h"
#include "library/simulation.h"

namespace tessuvan {

void RunSimulation(LibraryState& state, BInitials* init, BFitSet* fit, void* /*reserved*/, ParameterTable* table)
{
    Simulate(state, init, fit, table);
}

}  // namespace tessuvan
