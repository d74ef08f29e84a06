// Fin: releases every compiled formula and the model store, whatever Erreur holds, so that a
// later Simulation or fit finds no model (contract code), then erases the data file last
// written or read and the species file. Each file is erased once: a second Fin has nothing
// left to do.
#include "entry/entry_points.h"
#include "library/files.h"

namespace tessuvan {

void FinRun(LibraryState& state, BInitials* /*init*/, BFitSet* fit)
{
    state.ReleaseFormulasAndStore();
    const std::string dataFile = std::move(state.dataFileHandle);
    state.dataFileHandle.clear();
    if (!dataFile.empty() && !EraseFile(dataFile)) {
        // As when the run-time's erase fails: the species file is then left in place.
        if (fit != nullptr) AddCode(fit->Erreur, TessuvanFileError);
        return;
    }
    const std::string speciesFile = std::move(state.speciesFileHandle);
    state.speciesFileHandle.clear();
    if (!speciesFile.empty() && !EraseFile(speciesFile) && fit != nullptr) AddCode(fit->Erreur, TessuvanFileError);
}

}  // namespace tessuvan
