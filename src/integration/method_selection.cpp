// The host chooses a method by its exact name in BFitSet.Method.
#include "integration/methods.h"

namespace tessuvan {

Integrator IntegratorNamed(std::string_view name)
{
    if (name == "CHU-BERMAN") return IntegrateChuBerman;
    if (name == "RUNGE-KUTTA QC") return IntegrateRungeKuttaQC;
    if (name == "RUNGE-KUTTA 4") return IntegrateRungeKutta4;
    if (name == "RUNGE-KUTTA 5") return IntegrateRungeKutta5;
    return nullptr;
}

}  // namespace tessuvan
