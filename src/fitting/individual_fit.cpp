#include "fitting/individual_fit.h"

#include "fitting/parallel_differences.h"
#include "library/drivers.h"
#include "library/entry_points.h"

namespace tessuvan {
namespace {

// PV[i] := PV[i] ± dP[i] of every parameter fitted for i, and the formula cell with it.
void MoveIndividualValues(LibraryState& state, int i, Direction direction)
{
    const FittedParameters fitted = IndividualFittedParameters(state, i);
    for (int a = 1; a <= fitted.count; ++a) {
        const int p = fitted.number[a];
        PAjustable& parameter = state.AdjustableTable[p];
        parameter.PV[i] = direction == Direction::Apply ? parameter.PV[i] + parameter.dP[i]
                                                        : parameter.PV[i] - parameter.dP[i];
        state.variables.AdjustableValues[p] = parameter.PV[i];
    }
}

WorkingFloat IndividualObjective(const LibraryState& state, int i)
{
    return static_cast<WorkingFloat>(state.fit.ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + i]);
}

// Whether the step just applied moved any prediction of individual i (see the population's).
bool AnyIndividualPredictionMoved(ModelStore& store, int i, int outputs)
{
    for (int k = 1; k <= store.PointCount(i); ++k)
        for (int l = 1; l <= outputs; ++l)
            if (store.IndividualPrediction(i, k, l) != store.PreviousIndividualPrediction(i, k, l)) return true;
    return false;
}

}  // namespace

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

void IndividualSensitivitiesByDifference(LibraryState& state, int i)
{
    const FittedParameters fitted = IndividualFittedParameters(state, i);
    if (fitted.count == 0) return;
    ModelStore& store = *state.store;
    const int outputs = state.init.record.NSorties;
    ForEachDifference(state, fitted, [&store, i, outputs](LibraryState& simulator, ModelStore& scratch, int p) {
        WorkingFloat& value = simulator.AdjustableTable[p].PV[i];
        const WorkingFloat s = value;
        value = s * kDifferenceFactor;
        SimulateIndividual(simulator, i, scratch);
        value = s;
        for (int k = 1; k <= store.PointCount(i); ++k)
            for (int l = 1; l <= outputs; ++l)
                store.IndividualSensitivity(i, k, l, p) =
                    (scratch.IndividualPrediction(i, k, l) - store.IndividualPrediction(i, k, l)) * kDifferenceScale / s;
    });
}

void UpdateIndividualSensitivities(LibraryState& state, int i)
{
    const FittedParameters fitted = IndividualFittedParameters(state, i);
    WorkingFloat d = 0;
    for (int a = 1; a <= fitted.count; ++a) {
        const WorkingFloat step = state.AdjustableTable[fitted.number[a]].dP[i];
        d = d + step * step;
    }
    ModelStore& store = *state.store;
    if (!(d > ObservationThreshold) || !AnyIndividualPredictionMoved(store, i, state.init.record.NSorties)) return;

    // Points and outputs are corrected independently: columns innermost, same values.
    for (int k = 1; k <= store.PointCount(i); ++k) {
        for (int l = 1; l <= state.init.record.NSorties; ++l) {
            const WorkingFloat change = store.IndividualPrediction(i, k, l) - store.PreviousIndividualPrediction(i, k, l);
            for (int c = 1; c <= fitted.count; ++c) {
                WorkingFloat t = 0;
                for (int q = 1; q <= fitted.count; ++q)
                    t = t + store.IndividualSensitivity(i, k, l, fitted.number[q]) *
                                state.AdjustableTable[fitted.number[q]].dP[i];
                const WorkingFloat residual = change - t;
                WorkingFloat u = 0;
                for (int q = 1; q <= fitted.count; ++q) u = u + residual * state.AdjustableTable[fitted.number[q]].dP[i];
                WorkingFloat& column = store.IndividualSensitivity(i, k, l, fitted.number[c]);
                column = column + u / d;
            }
        }
    }
}

void BuildIndividualNormalEquations(LibraryState& state, StepMode mode, int i, int& count, FitMatrix& M, FitVector& g)
{
    const BInitials& counts = state.init.record;
    for (int a = 1; a <= counts.NAjustables; ++a) {
        g[a] = 0;
        for (int b = 1; b <= counts.NAjustables; ++b) M[a][b] = 0;
    }
    if (mode == StepMode::FiniteDifferences)
        IndividualSensitivitiesByDifference(state, i);
    else
        UpdateIndividualSensitivities(state, i);

    ModelStore& store = *state.store;
    const FittedParameters fitted = IndividualFittedParameters(state, i);
    count = fitted.count;
    // Prior rows: code 2 is pulled towards the population value, with the weight of the
    // individual's observations plus one; code 1 towards the a-priori centre.
    for (int a = 1; a <= fitted.count; ++a) {
        const PAjustable& parameter = state.AdjustableTable[fitted.number[a]];
        if (parameter.PA[i] == FitCodePopulationAndIndividual) {
            const WorkingFloat n = static_cast<WorkingFloat>(store.ObservationCount(i) + 1);
            g[a] = (parameter.PV[0] - parameter.PV[i]) * parameter.PW[0] * n;
            M[a][a] = parameter.PW[0] * n;
        } else {
            g[a] = (parameter.PV[counts.NIndividuals + 1] - parameter.PV[i]) * parameter.PW[1];
            M[a][a] = parameter.PW[1];
        }
    }

    if (state.fit.Erreur == 0) {
        for (int l = 1; l <= counts.NSorties; ++l) {
            for (int k = 1; k <= store.PointCount(i); ++k) {
                const WorkingFloat w = store.Weight(i, k, l);
                const WorkingFloat r = w * (store.Observed(i, k, l) - store.IndividualPrediction(i, k, l));
                for (int a = 1; a <= fitted.count; ++a) {
                    const WorkingFloat tp = store.IndividualSensitivity(i, k, l, fitted.number[a]);
                    g[a] = g[a] + r * tp;
                    for (int b = 1; b <= fitted.count; ++b)
                        M[a][b] = M[a][b] + w * tp * store.IndividualSensitivity(i, k, l, fitted.number[b]);
                }
            }
        }
    }

    const WorkingFloat damping = 1 + static_cast<WorkingFloat>(state.fit.Marquard);
    for (int a = 1; a <= count; ++a) M[a][a] = M[a][a] * damping;
}

void IndividualStep(LibraryState& state, StepMode mode, int i)
{
    int count = 0;
    FitMatrix M;
    FitVector g;
    FitVector x{};
    BuildIndividualNormalEquations(state, mode, i, count, M, g);
    if (state.fit.Erreur == 0) {
        SolverStatus status = kSolverDone;
        SolveLinearSystem(count, M, g, x, status);
        AddCode(state.fit.Erreur, status);
    }
    if (state.fit.Erreur != 0) return;

    const FittedParameters fitted = IndividualFittedParameters(state, i);
    for (int a = 1; a <= fitted.count; ++a) {
        PAjustable& parameter = state.AdjustableTable[fitted.number[a]];
        parameter.dP[i] = LimitedStep(x[a], parameter.PV[i]);
    }
}

void AjustementInd(LibraryState& state, int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                   ParameterTable* table)
{
    if (fit == nullptr) return;
    if (!FitCallIsValid(state, init, table) || individual == nullptr || *individual < 1 ||
        *individual > init->NIndividuals) {
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    const int i = *individual;
    const int n = init->NAjustables;
    const ReusingUnchangedWalks reuse(state);
    WorkingFloat snapshot[kMaxAdjustables + 1] = {};
    for (int p = 1; p <= n; ++p) snapshot[p] = state.AdjustableTable[p].PV[i];
    TakeWorkingCopies(state, *init, *fit);

    for (int p = 1; p <= n; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        parameter.PA[i] = table->FitCodes[i][p - 1];
        if (parameter.PA[i] == FitCodePopulationOnly) parameter.PV[i] = parameter.PV[0];
    }
    for (int p = 1; p <= n; ++p) state.variables.AdjustableValues[p] = state.AdjustableTable[p].PV[i];
    RunSimulation(state, init, fit, reserved, table);

    // An individual without observations has nothing to fit: it takes the population values.
    if (state.store->ObservationCount(i) == 0) {
        for (int p = 1; p <= n; ++p) state.AdjustableTable[p].PV[i] = state.AdjustableTable[p].PV[0];
        return;
    }

    IndividualStep(state, StepMode::FiniteDifferences, i);
    if (state.fit.Erreur != 0) {
        fit->Erreur = state.fit.Erreur;
        return;
    }
    MoveIndividualValues(state, i, Direction::Apply);
    RunSimulation(state, init, fit, reserved, table);
    const WorkingFloat objective = IndividualObjective(state, i);

    IndividualStep(state, StepMode::SecantUpdate, i);
    if (state.fit.Erreur != 0) {
        fit->Erreur = state.fit.Erreur;
        return;
    }
    MoveIndividualValues(state, i, Direction::Apply);
    RunSimulation(state, init, fit, reserved, table);
    if (IndividualObjective(state, i) > objective) {
        MoveIndividualValues(state, i, Direction::Undo);
        RunSimulation(state, init, fit, reserved, table);
    }

    WorkingFloat s = 0;
    for (int p = 1; p <= n; ++p) {
        const PAjustable& parameter = state.AdjustableTable[p];
        table->Values[i][p - 1] = static_cast<float>(parameter.PV[i]);
    }
    const FittedParameters fitted = IndividualFittedParameters(state, i);
    for (int a = 1; a <= fitted.count; ++a) {
        const int p = fitted.number[a];
        const WorkingFloat r = (state.AdjustableTable[p].PV[i] - snapshot[p]) / snapshot[p];
        s = s + r * r;
    }
    // The denominator is the count of fitted values of the whole model, fixed at load.
    fit->Done = Converged(fit->Tolerance, s, state.FittedValueCount) ? -1 : 0;
}

}  // namespace tessuvan
