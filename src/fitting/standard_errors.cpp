#include "fitting/standard_errors.h"

#include <cmath>
#include <limits>

#include "fitting/fit_support.h"
#include "fitting/population_fit.h"

namespace tessuvan {

WorkingFloat StandardErrorOf(WorkingFloat variance)
{
    return variance >= 0 ? std::sqrt(variance) : std::numeric_limits<WorkingFloat>::quiet_NaN();
}

void BuildPopulationInformation(LibraryState& state, int& count, FitMatrix& M)
{
    const BInitials& counts = state.init.record;
    for (int a = 1; a <= counts.NAjustables; ++a)
        for (int b = 1; b <= counts.NAjustables; ++b) M[a][b] = 0;
    count = 0;
    PopulationSensitivitiesByDifference(state);
    if (state.fit.Erreur != 0) return;

    const FittedParameters fitted = PopulationFittedParameters(state);
    ModelStore& store = *state.store;
    for (int i = 1; i <= counts.NIndividuals; ++i) {
        for (int l = 1; l <= counts.NSorties; ++l) {
            for (int k = 1; k <= store.PointCount(i); ++k) {
                count = fitted.count;
                const WorkingFloat w = store.Weight(i, k, l);
                for (int a = 1; a <= fitted.count; ++a) {
                    const WorkingFloat sp = store.PopulationSensitivity(i, k, l, fitted.number[a]);
                    for (int b = 1; b <= fitted.count; ++b)
                        M[a][b] = M[a][b] + w * sp * store.PopulationSensitivity(i, k, l, fitted.number[b]);
                }
            }
        }
    }
}

void PopulationStandardErrors(LibraryState& state)
{
    int count = 0;
    FitMatrix M;
    FitMatrix inverse;
    BuildPopulationInformation(state, count, M);
    if (state.fit.Erreur == 0 && count > 0) {
        SolverStatus status = kSolverDone;
        InvertMatrix(count, M, inverse, status);
        AddCode(state.fit.Erreur, status);
    }
    if (state.fit.Erreur != 0) return;

    // Only the diagonal of the inverse is wanted; spread into parameter numbering it is
    // (M⁻¹)[a][a] for the fitted parameter of rank a and 0 for every other parameter.
    const FittedParameters fitted = PopulationFittedParameters(state);
    int a = 0;
    for (int p = 1; p <= state.init.record.NAjustables; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        if (a < count && fitted.number[a + 1] == p) {
            ++a;
            parameter.PS[0] = StandardErrorOf(inverse[a][a]);
        } else {
            parameter.PS[0] = 0;
        }
    }
}

void PoolPopulationDeviation(LibraryState& state)
{
    const BInitials& counts = state.init.record;
    const int pooledCount = counts.NPopAPriori + counts.NIndividuals;
    for (int p = 1; p <= counts.NAjustables; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        if (!PopulationFitted(parameter)) {
            parameter.PS[0] = 0;
            continue;
        }
        const WorkingFloat prior = static_cast<WorkingFloat>(counts.NPopAPriori) * (parameter.PS[1] * parameter.PS[1]);
        const WorkingFloat sample = static_cast<WorkingFloat>(counts.NIndividuals) * (parameter.PS[0] * parameter.PS[0]);
        parameter.PS[0] = std::sqrt((prior + sample) / static_cast<WorkingFloat>(pooledCount));
    }
}

}  // namespace tessuvan
