#include "fitting/fit_support.h"

#include <cmath>

namespace tessuvan {
namespace {

bool InRange(int value, int high) { return value >= 0 && value <= high; }

}  // namespace

bool FitCallIsValid(const LibraryState& state, const BInitials* init, const ParameterTable* table)
{
    if (init == nullptr || table == nullptr || !state.modelReady || !state.store) return false;
    const ModelStore::Shape& shape = state.store->shape();
    return InRange(init->NIndividuals, kMaxIndividuals) && init->NIndividuals <= shape.individuals &&
           InRange(init->NSorties, kMaxOutputs) && init->NSorties <= shape.outputs &&
           InRange(init->NAjustables, kMaxAdjustables) && init->NAjustables <= shape.adjustables &&
           InRange(init->NEspeces, kMaxSpecies) && InRange(init->NInterrupts, kMaxInterrupts) &&
           InRange(init->NPParametres, kMaxPParameters) && InRange(init->NQParametres, kMaxQParameters);
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

std::unique_ptr<ModelStore> SensitivityScratch(LibraryState& state)
{
    std::unique_ptr<ModelStore> scratch = state.store->SimulationCopy();
    if (!scratch) AddCode(state.fit.Erreur, TessuvanOutOfMemory);
    return scratch;
}

}  // namespace tessuvan
