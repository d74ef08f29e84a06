// Statistics after a simulation. The observation error model is a power law: the variance of
// an observation y is taken proportional to y^γ (γ = TypeErreurData), so the weight of its
// squared residual is s·y^(−γ), with the scale s chosen so that the weighted squared
// population residuals have geometric mean 1. Loops run individuals, outputs, points in that
// order, which fixes the order of every sum.
#include "library/statistics.h"

#include <cmath>

namespace tessuvan {

namespace {

WorkingFloat Gamma(const LibraryState& state) { return static_cast<WorkingFloat>(state.fit.TypeErreurData); }

// entry += addend, with the sum held in the single-precision entry.
void AddToSingle(float& entry, WorkingFloat addend)
{
    entry = static_cast<float>(static_cast<WorkingFloat>(entry) + addend);
}

}  // namespace

// s = exp((γ·Σ ln y − Σ ln (P − y)²) / n) over the n observations y > 1e-130 whose population
// residual P − y exceeds 1e-130 in magnitude.
WorkingFloat WeightScale(LibraryState& state)
{
    if (state.store == nullptr) return 1;
    ModelStore& store = *state.store;
    const BInitials& counts = state.init.record;
    WorkingFloat logResiduals = 0;
    WorkingFloat logObservations = 0;
    long n = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i)
        for (int k = 1; k <= counts.NSorties; ++k)
            for (int j = 1; j <= store.PointCount(i); ++j) {
                const WorkingFloat y = store.Observed(i, j, k);
                const WorkingFloat residual = store.PopulationPrediction(i, j, k) - y;
                if (y > ObservationThreshold && std::fabs(residual) > ObservationThreshold) {
                    logResiduals += std::log(residual * residual);
                    logObservations += std::log(y);
                    ++n;
                }
            }
    if (n == 0) return 1;
    return std::exp((Gamma(state) * logObservations - logResiduals) / static_cast<WorkingFloat>(n));
}

void ComputeWeights(LibraryState& state)
{
    if (state.store == nullptr) return;
    const WorkingFloat scale = WeightScale(state);
    const WorkingFloat gamma = Gamma(state);
    ModelStore& store = *state.store;
    const BInitials& counts = state.init.record;
    for (int i = 1; i <= counts.NIndividuals; ++i)
        for (int k = 1; k <= counts.NSorties; ++k)
            for (int j = 1; j <= store.PointCount(i); ++j) {
                const WorkingFloat y = store.Observed(i, j, k);
                store.Weight(i, j, k) = y > ObservationThreshold ? scale * Power(y, -gamma) : 0;
            }
}

// PW[1] = (NPopAPriori / NIndividuals) / PS[1]² / AdjustedCount: the a-priori population
// counts for NPopAPriori subjects, spread over the individuals and the adjusted parameters.
// PW[0] = (1 / PS[0])² / (TotalObservationCount − AdjustedCount + 1). Where a divisor is 0
// the weight is 0.
void ComputePriorWeights(LibraryState& state)
{
    const BInitials& counts = state.init.record;
    const long total = state.store != nullptr ? state.store->TotalObservationCount : 0;
    const long adjusted = state.AdjustedCount;
    const long degrees = total - adjusted + 1;
    for (int a = 1; a <= counts.NAjustables; ++a) {
        PAjustable& parameter = state.AdjustableTable[a];
        const WorkingFloat prior = parameter.PS[1];
        if (counts.NPopAPriori > 0 && prior > ObservationThreshold && counts.NIndividuals > 0 && adjusted > 0)
            parameter.PW[1] = (static_cast<WorkingFloat>(counts.NPopAPriori) / static_cast<WorkingFloat>(counts.NIndividuals)) /
                              (prior * prior) / static_cast<WorkingFloat>(adjusted);
        else
            parameter.PW[1] = 0;
        const WorkingFloat deviation = parameter.PS[0];
        if (deviation > ObservationThreshold && degrees != 0) {
            const WorkingFloat inverse = 1 / deviation;
            parameter.PW[0] = inverse * inverse / static_cast<WorkingFloat>(degrees);
        } else {
            parameter.PW[0] = 0;
        }
    }
}

// ErreurCalc, with M = MaxIndividuals: [0] and [i] Σ w·(P − y)², [M+1] and [M+1+i]
// Σ w·(I − y)², [2M+2] and [2M+2+i] Σ PW[0]·(PV[0] − PV[i])² over parameters with
// population code 2 or 3.
void SumObjectives(LibraryState& state, ModelStore& store, BFitSet& fit)
{
    constexpr int M = kMaxIndividuals;
    const BInitials& counts = state.init.record;
    float* sums = fit.ErreurCalc;
    sums[0] = 0;
    sums[M + 1] = 0;
    sums[2 * M + 2] = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i) {
        sums[i] = 0;
        sums[M + 1 + i] = 0;
        sums[2 * M + 2 + i] = 0;
        for (int k = 1; k <= counts.NSorties; ++k)
            for (int j = 1; j <= store.PointCount(i); ++j) {
                const WorkingFloat w = store.Weight(i, j, k);
                const WorkingFloat y = store.Observed(i, j, k);
                const WorkingFloat population = store.PopulationPrediction(i, j, k) - y;
                const WorkingFloat individual = store.IndividualPrediction(i, j, k) - y;
                AddToSingle(sums[i], w * (population * population));
                AddToSingle(sums[M + 1 + i], w * (individual * individual));
                AddToSingle(sums[0], w * (population * population));
                AddToSingle(sums[M + 1], w * (individual * individual));
            }
        for (int a = 1; a <= counts.NAjustables; ++a) {
            const PAjustable& parameter = state.AdjustableTable[a];
            if (parameter.PA[0] != FitCodePopulationAndIndividual && parameter.PA[0] != FitCodePopulationOnly) continue;
            const WorkingFloat d = parameter.PV[0] - parameter.PV[i];
            AddToSingle(sums[2 * M + 2 + i], parameter.PW[0] * (d * d));
            AddToSingle(sums[2 * M + 2], parameter.PW[0] * (d * d));
        }
    }
}

}  // namespace tessuvan
