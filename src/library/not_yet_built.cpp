// Entry points whose engine is not built yet: each reports the contract code and changes
// nothing. Each function moves to its own file when its engine lands.
#include "library/entry_points.h"

namespace tessuvan {

void CalculInitial(LibraryState&, BInitials*, BFitSet* fit, ParameterTable*, PParameterTexts*, QParameterValues*,
                   OutputTexts*)
{
    if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
}

void RunSimulation(LibraryState&, BInitials*, BFitSet* fit, void*, ParameterTable*)
{
    if (fit != nullptr) AddCode(fit->Erreur, TessuvanContractError);
}

void FinRun(LibraryState& state, BInitials*, BFitSet*) { state.ReleaseFormulasAndStore(); }

}  // namespace tessuvan
