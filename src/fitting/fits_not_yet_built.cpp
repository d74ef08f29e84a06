// Fit entry points whose engine is not built yet: each reports the contract code and changes
// nothing. Each moves to its own file when the fits land.
#include "library/entry_points.h"

namespace tessuvan {

void AjustementPop(LibraryState&, BInitials*, BFitSet* fit, void*, ParameterTable*)
{
    if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
}

void AjustementInd(LibraryState&, int16_t*, BInitials*, BFitSet* fit, void*, ParameterTable*)
{
    if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
}

}  // namespace tessuvan
