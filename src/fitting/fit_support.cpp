#include "fitting/fit_support.h"

#include <cmath>

#include "library/capacities.h"
#include "library/walk_independence.h"

namespace tessuvan {

bool FitCallIsValid(const LibraryState& state, const BInitials* init, const ParameterTable* table)
{
    return init != nullptr && table != nullptr && state.modelReady && state.store != nullptr &&
           CountsWithinCapacities(*init) && state.MatchesLoadedModel(*init);
}

void TakeWorkingCopies(LibraryState& state, const BInitials& init, const BFitSet& fit)
{
    BInitials counts = init;
    counts.FileNameDat = TessuvanText{};  // no reference to the host's texts is kept
    counts.FileNameEsp = TessuvanText{};
    state.init.record = counts;
    state.fit = fit;
}

WorkingFloat LimitedStep(WorkingFloat x, WorkingFloat value)
{
    if (std::fabs(x) > kStepLimitFraction * value && std::fabs(x) > ObservationThreshold)
        return x * kStepLimitFraction * std::fabs(value / x);
    return x;
}

bool Converged(float tolerance, WorkingFloat sumOfSquares, int32_t count)
{
    return static_cast<WorkingFloat>(tolerance) > sumOfSquares / static_cast<WorkingFloat>(count);
}

FittedParameters PopulationFittedParameters(const LibraryState& state)
{
    FittedParameters fitted;
    for (int p = 1; p <= state.init.record.NAjustables; ++p)
        if (PopulationFitted(state.AdjustableTable[p])) fitted.Add(p);
    return fitted;
}

FittedParameters IndividualFittedParameters(const LibraryState& state, int i)
{
    FittedParameters fitted;
    for (int p = 1; p <= state.init.record.NAjustables; ++p) {
        const PAjustable& parameter = state.AdjustableTable[p];
        const bool coded = parameter.PA[i] == FitCodeIndividualOnly || parameter.PA[i] == FitCodePopulationAndIndividual;
        if (coded && parameter.PV[i] > ObservationThreshold) fitted.Add(p);
    }
    return fitted;
}

ReusingUnchangedWalks::ReusingUnchangedWalks(LibraryState& state) : state_(state)
{
    state.walkReuse.active = state.fastPaths && state.store != nullptr && WalksStartAfresh(state, *state.store);
}

std::unique_ptr<ModelStore> SensitivityScratch(LibraryState& state)
{
    std::unique_ptr<ModelStore> scratch = state.store->SimulationCopy();
    if (!scratch) AddCode(state.fit.Erreur, TessuvanOutOfMemory);
    return scratch;
}

}  // namespace tessuvan
