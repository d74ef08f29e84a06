// The five exported entry points: a C shim over the process-wide Engine (entry/engine.h), whose
// calls mask floating-point traps for their duration (a host may have unmasked them) and turn
// anything that escapes the engine into a code: no exception ever crosses the C ABI.
#include <new>

#include "common/numeric.h"
#include "entry/engine.h"

#if defined(_WIN32)
// The DLL's module definition file (exports_64.def / exports_32.def) lists the exports.
#define TESSUVAN_EXPORT extern "C"
#else
#define TESSUVAN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tessuvan {
namespace {

// The process-wide engine, created on first use; a failure to create it is reported as every
// other failure of a call.
Engine* Process(BFitSet* fit) noexcept
{
    try {
        return &ProcessEngine();
    } catch (const std::bad_alloc&) {
        if (fit != nullptr) AddCode(fit->Erreur, TessuvanOutOfMemory);
    } catch (...) {
        if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
    }
    return nullptr;
}

}  // namespace
}  // namespace tessuvan

using namespace tessuvan;

TESSUVAN_EXPORT void TESSUVAN_CALL Calcul_initial(BInitials* init, BFitSet* fit, ParameterTable* table,
                                                  PParameterTexts* pTexts, QParameterValues* qValues,
                                                  OutputTexts* outputs)
{
    if (Engine* engine = Process(fit)) engine->Load(init, fit, table, pTexts, qValues, outputs);
}

TESSUVAN_EXPORT void TESSUVAN_CALL Simulation(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    if (Engine* engine = Process(fit)) engine->Simulate(init, fit, reserved, table);
}

TESSUVAN_EXPORT void TESSUVAN_CALL Ajustement_pop(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    if (Engine* engine = Process(fit)) engine->PopulationIteration(init, fit, reserved, table);
}

TESSUVAN_EXPORT void TESSUVAN_CALL Ajustement_ind(int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                                                  ParameterTable* table)
{
    if (Engine* engine = Process(fit)) engine->IndividualIteration(individual, init, fit, reserved, table);
}

TESSUVAN_EXPORT void TESSUVAN_CALL Fin(BInitials* init, BFitSet* fit)
{
    if (Engine* engine = Process(fit)) engine->Release(init, fit);
}
