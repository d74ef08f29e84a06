// The five exported entry points. Each takes the process-wide state, masks floating-point
// traps for the duration of the call (a host may have unmasked them), and turns anything that
// escapes the engine into a code: no exception ever crosses the C ABI.
#include <new>

#include "entry/entry_points.h"
#include "entry/floating_point_guard.h"

#if defined(_WIN32)
// The DLL's module definition file (exports_64.def / exports_32.def) lists the exports.
#define TESSUVAN_EXPORT extern "C"
#else
#define TESSUVAN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tessuvan {
namespace {

template <typename Call>
void Guarded(BFitSet* fit, Call&& call) noexcept
{
    try {
        FloatingPointGuard guard;
        call(ProcessState());
    } catch (const std::bad_alloc&) {
        if (fit != nullptr) AddCode(fit->Erreur, TessuvanOutOfMemory);
    } catch (...) {
        if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
    }
}

}  // namespace
}  // namespace tessuvan

using namespace tessuvan;

TESSUVAN_EXPORT void TESSUVAN_CALL Calcul_initial(BInitials* init, BFitSet* fit, ParameterTable* table,
                                                  PParameterTexts* pTexts, QParameterValues* qValues,
                                                  OutputTexts* outputs)
{
    Guarded(fit, [&](LibraryState& state) { CalculInitial(state, init, fit, table, pTexts, qValues, outputs); });
}

TESSUVAN_EXPORT void TESSUVAN_CALL Simulation(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    Guarded(fit, [&](LibraryState& state) { RunSimulation(state, init, fit, reserved, table); });
}

TESSUVAN_EXPORT void TESSUVAN_CALL Ajustement_pop(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    Guarded(fit, [&](LibraryState& state) { AjustementPop(state, init, fit, reserved, table); });
}

TESSUVAN_EXPORT void TESSUVAN_CALL Ajustement_ind(int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                                                  ParameterTable* table)
{
    Guarded(fit, [&](LibraryState& state) { AjustementInd(state, individual, init, fit, reserved, table); });
}

TESSUVAN_EXPORT void TESSUVAN_CALL Fin(BInitials* init, BFitSet* fit)
{
    Guarded(fit, [&](LibraryState& state) { FinRun(state, init, fit); });
}
