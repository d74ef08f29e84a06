// Calcul_initial: the load of a model (library/model_load.h), once the host's records are
// there; without them any model still loaded is released and the call is a contract error.
#include "entry/entry_points.h"
#include "library/model_load.h"

namespace tessuvan {

void CalculInitial(LibraryState& state, BInitials* init, BFitSet* fit, ParameterTable* table, PParameterTexts* pTexts,
                   QParameterValues* qValues, OutputTexts* outputs, const ModelDataInMemory* data)
{
    if (fit == nullptr) return;
    if (init == nullptr || table == nullptr || pTexts == nullptr || qValues == nullptr || outputs == nullptr) {
        state.ReleaseFormulasAndStore();
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    LoadModel(state, *init, *fit, *table, *pTexts, *qValues, *outputs, data);
}

}  // namespace tessuvan
