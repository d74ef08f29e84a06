// Placeholders until the methods land: each reports that no method is available and leaves
// the amounts as they came in.
#include "integration/methods.h"

namespace tessuvan {

namespace {
void NotBuilt(AmountVector yin, AmountVector& yout, int16_t& err)
{
    yout = yin;
    err = TessuvanIntegrationNoMethod;
}
}  // namespace

void IntegrateRungeKutta4(const RightHandSide&, int, WorkingFloat, WorkingFloat, WorkingFloat, AmountVector yin,
                          AmountVector& yout, int16_t& err) { NotBuilt(yin, yout, err); }
void IntegrateRungeKutta5(const RightHandSide&, int, WorkingFloat, WorkingFloat, WorkingFloat, AmountVector yin,
                          AmountVector& yout, int16_t& err) { NotBuilt(yin, yout, err); }
void IntegrateRungeKuttaQC(const RightHandSide&, int, WorkingFloat, WorkingFloat, WorkingFloat, AmountVector yin,
                           AmountVector& yout, int16_t& err) { NotBuilt(yin, yout, err); }
void IntegrateChuBerman(const RightHandSide&, int, WorkingFloat, WorkingFloat, WorkingFloat, AmountVector yin,
                        AmountVector& yout, int16_t& err) { NotBuilt(yin, yout, err); }

Integrator IntegratorNamed(std::string_view name)
{
    if (name == "CHU-BERMAN") return &IntegrateChuBerman;
    if (name == "RUNGE-KUTTA QC") return &IntegrateRungeKuttaQC;
    if (name == "RUNGE-KUTTA 4") return &IntegrateRungeKutta4;
    if (name == "RUNGE-KUTTA 5") return &IntegrateRungeKutta5;
    return nullptr;
}

}  // namespace tessuvan
