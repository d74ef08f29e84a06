#include "fitting/gauss_newton_step.h"

#include "fitting/individual_level.h"
#include "fitting/parallel_differences.h"
#include "fitting/population_level.h"

namespace tessuvan {
namespace {

// Whether the step just applied moved any prediction of the level. One too small to change any
// value leaves every prediction as it was.
template <FitLevel Level>
bool AnyPredictionMoved(const Level& level, ModelStore& store)
{
    const int outputs = level.state.init.record.NSorties;
    for (int i = level.firstIndividual; i <= level.lastIndividual; ++i)
        for (int k = 1; k <= store.PointCount(i); ++k)
            for (int l = 1; l <= outputs; ++l)
                if (Level::Prediction(store, i, k, l) != Level::PreviousPrediction(store, i, k, l)) return true;
    return false;
}

}  // namespace

template <FitLevel Level>
void SensitivitiesByDifference(const Level& level)
{
    const FittedParameters fitted = level.Fitted();
    if (fitted.count == 0) return;
    // Every simulation rewrites the same predictions of its scratch, and the ones it does not
    // reach keep the stored values, so they differ by exactly 0.
    ModelStore& store = *level.state.store;
    const int outputs = level.state.init.record.NSorties;
    ForEachDifference(level.state, fitted, [&level, &store, outputs](LibraryState& simulator, ModelStore& scratch, int p) {
        WorkingFloat& value = simulator.AdjustableTable[p].PV[level.column];
        const WorkingFloat s = value;
        value = s * kDifferenceFactor;
        level.Simulate(simulator, scratch);
        value = s;
        for (int i = level.firstIndividual; i <= level.lastIndividual; ++i)
            for (int k = 1; k <= store.PointCount(i); ++k)
                for (int l = 1; l <= outputs; ++l)
                    Level::Sensitivity(store, i, k, l, p) =
                        (Level::Prediction(scratch, i, k, l) - Level::Prediction(store, i, k, l)) * kDifferenceScale / s;
    });
}

template <FitLevel Level>
void UpdateSensitivities(const Level& level)
{
    const FittedParameters fitted = level.Fitted();
    const PAjustable* table = level.state.AdjustableTable.data();
    const int column = level.column;
    WorkingFloat d = 0;
    for (int a = 1; a <= fitted.count; ++a) {
        const WorkingFloat step = table[fitted.number[a]].dP[column];
        d = d + step * step;
    }
    // A step of zeros, or one that moved nothing, carries no secant information.
    ModelStore& store = *level.state.store;
    if (!(d > ObservationThreshold) || !AnyPredictionMoved(level, store)) return;

    // Every point and output is corrected on its own, so taking the columns innermost gives
    // the same values as taking them outermost, in far fewer passes over the store.
    const int outputs = level.state.init.record.NSorties;
    for (int i = level.firstIndividual; i <= level.lastIndividual; ++i) {
        for (int k = 1; k <= store.PointCount(i); ++k) {
            for (int l = 1; l <= outputs; ++l) {
                const WorkingFloat change = Level::Prediction(store, i, k, l) - Level::PreviousPrediction(store, i, k, l);
                for (int c = 1; c <= fitted.count; ++c) {
                    WorkingFloat t = 0;
                    for (int q = 1; q <= fitted.count; ++q)
                        t = t + Level::Sensitivity(store, i, k, l, fitted.number[q]) * table[fitted.number[q]].dP[column];
                    const WorkingFloat residual = change - t;
                    WorkingFloat u = 0;
                    for (int q = 1; q <= fitted.count; ++q) u = u + residual * table[fitted.number[q]].dP[column];
                    WorkingFloat& sensitivity = Level::Sensitivity(store, i, k, l, fitted.number[c]);
                    sensitivity = sensitivity + u / d;
                }
            }
        }
    }
}

template <FitLevel Level>
void BuildNormalEquations(const Level& level, StepMode mode, int& count, FitMatrix& M, FitVector& g)
{
    LibraryState& state = level.state;
    const BInitials& counts = state.init.record;
    for (int a = 1; a <= counts.NAjustables; ++a) {
        g[a] = 0;
        for (int b = 1; b <= counts.NAjustables; ++b) M[a][b] = 0;
    }
    if (mode == StepMode::FiniteDifferences)
        SensitivitiesByDifference(level);
    else
        UpdateSensitivities(level);

    const FittedParameters fitted = level.Fitted();
    count = fitted.count;
    for (int a = 1; a <= fitted.count; ++a) {
        const PriorRow prior = level.Prior(state.AdjustableTable[fitted.number[a]]);
        g[a] = prior.pull;
        M[a][a] = prior.weight;
    }

    if (state.fit.Erreur == 0) {
        ModelStore& store = *state.store;
        for (int i = level.firstIndividual; i <= level.lastIndividual; ++i) {
            for (int l = 1; l <= counts.NSorties; ++l) {
                for (int k = 1; k <= store.PointCount(i); ++k) {
                    const WorkingFloat w = store.Weight(i, k, l);
                    const WorkingFloat r = w * (store.Observed(i, k, l) - Level::Prediction(store, i, k, l));
                    for (int a = 1; a <= fitted.count; ++a) {
                        const WorkingFloat sa = Level::Sensitivity(store, i, k, l, fitted.number[a]);
                        g[a] = g[a] + r * sa;
                        for (int b = 1; b <= fitted.count; ++b)
                            M[a][b] = M[a][b] + w * sa * Level::Sensitivity(store, i, k, l, fitted.number[b]);
                    }
                }
            }
        }
    }

    // Damping, the prior weight on the diagonal included.
    const WorkingFloat damping = 1 + static_cast<WorkingFloat>(state.fit.Marquard);
    for (int a = 1; a <= count; ++a) M[a][a] = M[a][a] * damping;
}

template <FitLevel Level>
void GaussNewtonStep(const Level& level, StepMode mode)
{
    LibraryState& state = level.state;
    int count = 0;
    FitMatrix M;
    FitVector g;
    FitVector x{};
    BuildNormalEquations(level, mode, count, M, g);
    const bool solved = Level::kSolvesWithoutFittedParameters || count > 0;
    if (state.fit.Erreur == 0 && solved) {
        SolverStatus status = kSolverDone;
        SolveLinearSystem(count, M, g, x, status);
        AddCode(state.fit.Erreur, status);
    }
    if (state.fit.Erreur != 0 || !solved) return;

    const FittedParameters fitted = level.Fitted();
    for (int p = 1, a = 1; p <= state.init.record.NAjustables; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        if (a <= fitted.count && fitted.number[a] == p)
            parameter.dP[level.column] = LimitedStep(x[a++], parameter.PV[level.column]);
        else if (Level::kClearsStepsNotFitted)
            parameter.dP[level.column] = 0;
    }
}

template void SensitivitiesByDifference(const PopulationLevel&);
template void UpdateSensitivities(const PopulationLevel&);
template void BuildNormalEquations(const PopulationLevel&, StepMode, int&, FitMatrix&, FitVector&);
template void GaussNewtonStep(const PopulationLevel&, StepMode);

template void SensitivitiesByDifference(const IndividualLevel&);
template void UpdateSensitivities(const IndividualLevel&);
template void BuildNormalEquations(const IndividualLevel&, StepMode, int&, FitMatrix&, FitVector&);
template void GaussNewtonStep(const IndividualLevel&, StepMode);

}  // namespace tessuvan
