#include "fitting/population_fit.h"

#include <cmath>

#include "fitting/parallel_differences.h"
#include "fitting/standard_errors.h"
#include "library/drivers.h"
#include "library/entry_points.h"

namespace tessuvan {
namespace {

// PV[0] := PV[0] ± dP[0] of every fitted parameter, and the formula cell with it.
void MovePopulationValues(LibraryState& state, Direction direction)
{
    const FittedParameters fitted = PopulationFittedParameters(state);
    for (int a = 1; a <= fitted.count; ++a) {
        const int p = fitted.number[a];
        PAjustable& parameter = state.AdjustableTable[p];
        parameter.PV[0] = direction == Direction::Apply ? parameter.PV[0] + parameter.dP[0]
                                                        : parameter.PV[0] - parameter.dP[0];
        state.variables.AdjustableValues[p] = parameter.PV[0];
    }
}

// Whether a parameter the table's population codes would fit has the value 0 (a magnitude not
// above 1e-130): its finite-difference increment would be 0 and its relative change undefined.
// (Without any population code 2 or 3 at load the call only simulates, and nothing is fitted.)
bool ZeroValueWouldBeFitted(const LibraryState& state, const BInitials& init, const ParameterTable& table)
{
    for (int p = 1; p <= init.NAjustables; ++p) {
        const int16_t code = table.FitCodes[0][p - 1];
        const bool fitted = code == FitCodePopulationAndIndividual || code == FitCodePopulationOnly;
        if (fitted && !(std::fabs(state.AdjustableTable[p].PV[0]) > ObservationThreshold)) return true;
    }
    return false;
}

// Whether the step just applied moved any population prediction. One too small to change any
// value leaves every prediction as it was; its secant correction would then replace the
// derivatives by the rounding of the step.
bool AnyPopulationPredictionMoved(ModelStore& store, const BInitials& counts)
{
    for (int i = 1; i <= counts.NIndividuals; ++i)
        for (int k = 1; k <= store.PointCount(i); ++k)
            for (int l = 1; l <= counts.NSorties; ++l)
                if (store.PopulationPrediction(i, k, l) != store.PreviousPopulationPrediction(i, k, l)) return true;
    return false;
}

}  // namespace

void PopulationSensitivitiesByDifference(LibraryState& state)
{
    const FittedParameters fitted = PopulationFittedParameters(state);
    if (fitted.count == 0) return;
    // Every simulation rewrites the same predictions of its scratch, and the ones it does not
    // reach keep the stored values, so they differ by exactly 0.
    ModelStore& store = *state.store;
    const BInitials& counts = state.init.record;
    ForEachDifference(state, fitted, [&store, &counts](LibraryState& simulator, ModelStore& scratch, int p) {
        WorkingFloat& value = simulator.AdjustableTable[p].PV[0];
        const WorkingFloat s = value;
        value = s * kDifferenceFactor;
        SimulatePopulation(simulator, scratch);
        value = s;
        for (int i = 1; i <= counts.NIndividuals; ++i)
            for (int k = 1; k <= store.PointCount(i); ++k)
                for (int l = 1; l <= counts.NSorties; ++l)
                    store.PopulationSensitivity(i, k, l, p) =
                        (scratch.PopulationPrediction(i, k, l) - store.PopulationPrediction(i, k, l)) * kDifferenceScale / s;
    });
}

void UpdatePopulationSensitivities(LibraryState& state)
{
    const FittedParameters fitted = PopulationFittedParameters(state);
    WorkingFloat d = 0;
    for (int a = 1; a <= fitted.count; ++a) {
        const WorkingFloat step = state.AdjustableTable[fitted.number[a]].dP[0];
        d = d + step * step;
    }
    // A step of zeros, or one that moved nothing, carries no secant information.
    ModelStore& store = *state.store;
    const BInitials& counts = state.init.record;
    if (!(d > ObservationThreshold) || !AnyPopulationPredictionMoved(store, counts)) return;

    // Every point and output is corrected on its own, so taking the columns innermost gives
    // the same values as taking them outermost, in far fewer passes over the store.
    for (int i = 1; i <= counts.NIndividuals; ++i) {
        for (int k = 1; k <= store.PointCount(i); ++k) {
            for (int l = 1; l <= counts.NSorties; ++l) {
                const WorkingFloat change = store.PopulationPrediction(i, k, l) - store.PreviousPopulationPrediction(i, k, l);
                for (int c = 1; c <= fitted.count; ++c) {
                    WorkingFloat t = 0;
                    for (int q = 1; q <= fitted.count; ++q)
                        t = t + store.PopulationSensitivity(i, k, l, fitted.number[q]) *
                                    state.AdjustableTable[fitted.number[q]].dP[0];
                    const WorkingFloat residual = change - t;
                    WorkingFloat u = 0;
                    for (int q = 1; q <= fitted.count; ++q) u = u + residual * state.AdjustableTable[fitted.number[q]].dP[0];
                    WorkingFloat& column = store.PopulationSensitivity(i, k, l, fitted.number[c]);
                    column = column + u / d;
                }
            }
        }
    }
}

void BuildPopulationNormalEquations(LibraryState& state, StepMode mode, int& count, FitMatrix& M, FitVector& g)
{
    const BInitials& counts = state.init.record;
    for (int a = 1; a <= counts.NAjustables; ++a) {
        g[a] = 0;
        for (int b = 1; b <= counts.NAjustables; ++b) M[a][b] = 0;
    }
    if (mode == StepMode::FiniteDifferences)
        PopulationSensitivitiesByDifference(state);
    else
        UpdatePopulationSensitivities(state);

    // Prior rows: a pull towards the a-priori centre with weight PW[1].
    const FittedParameters fitted = PopulationFittedParameters(state);
    count = fitted.count;
    for (int a = 1; a <= fitted.count; ++a) {
        const PAjustable& parameter = state.AdjustableTable[fitted.number[a]];
        g[a] = (parameter.PV[counts.NIndividuals + 1] - parameter.PV[0]) * parameter.PW[1];
        M[a][a] = parameter.PW[1];
    }

    // Data terms; a point without an observation has weight 0 and adds nothing.
    if (state.fit.Erreur == 0) {
        ModelStore& store = *state.store;
        for (int i = 1; i <= counts.NIndividuals; ++i) {
            for (int l = 1; l <= counts.NSorties; ++l) {
                for (int k = 1; k <= store.PointCount(i); ++k) {
                    const WorkingFloat w = store.Weight(i, k, l);
                    const WorkingFloat r = w * (store.Observed(i, k, l) - store.PopulationPrediction(i, k, l));
                    for (int a = 1; a <= fitted.count; ++a) {
                        const WorkingFloat sp = store.PopulationSensitivity(i, k, l, fitted.number[a]);
                        g[a] = g[a] + r * sp;
                        for (int b = 1; b <= fitted.count; ++b)
                            M[a][b] = M[a][b] + w * sp * store.PopulationSensitivity(i, k, l, fitted.number[b]);
                    }
                }
            }
        }
    }

    // Damping, the prior weight on the diagonal included.
    const WorkingFloat damping = 1 + static_cast<WorkingFloat>(state.fit.Marquard);
    for (int a = 1; a <= count; ++a) M[a][a] = M[a][a] * damping;
}

void PopulationStep(LibraryState& state, StepMode mode)
{
    int count = 0;
    FitMatrix M;
    FitVector g;
    FitVector x{};
    BuildPopulationNormalEquations(state, mode, count, M, g);
    if (state.fit.Erreur == 0 && count > 0) {
        SolverStatus status = kSolverDone;
        SolveLinearSystem(count, M, g, x, status);
        AddCode(state.fit.Erreur, status);
    }
    if (state.fit.Erreur != 0 || count < 1) return;

    int a = 0;
    for (int p = 1; p <= state.init.record.NAjustables; ++p) {
        PAjustable& parameter = state.AdjustableTable[p];
        if (PopulationFitted(parameter)) {
            ++a;
            parameter.dP[0] = LimitedStep(x[a], parameter.PV[0]);
        } else {
            parameter.dP[0] = 0;
        }
    }
}

void AjustementPop(LibraryState& state, BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table)
{
    if (fit == nullptr) return;
    if (!FitCallIsValid(state, init, table)) {
        AddCode(fit->Erreur, TessuvanContractError);
        return;
    }
    if (state.PopulationFitFlag && ZeroValueWouldBeFitted(state, *init, *table)) {
        AddCode(fit->Erreur, TessuvanZeroFittedValue);
        return;
    }
    TakeWorkingCopies(state, *init, *fit);

    const BInitials& counts = state.init.record;
    const ReusingUnchangedWalks reuse(state);
    const int n = counts.NAjustables;
    WorkingFloat snapshot[kMaxAdjustables + 1] = {};
    for (int p = 1; p <= n; ++p) snapshot[p] = state.AdjustableTable[p].PV[0];

    // The host may change at every call which parameters are fitted.
    for (int p = 1; p <= n; ++p) state.AdjustableTable[p].PA[0] = table->FitCodes[0][p - 1];

    if (!state.PopulationFitFlag) {
        for (int p = 1; p <= n; ++p) state.variables.AdjustableValues[p] = state.AdjustableTable[p].PV[0];
        RunSimulation(state, init, fit, reserved, table);
        fit->Done = -1;
        return;
    }

    // First step, from finite differences at the values of the last simulation.
    PopulationStep(state, StepMode::FiniteDifferences);
    if (state.fit.Erreur != 0) {
        fit->Erreur = state.fit.Erreur;
        return;
    }
    MovePopulationValues(state, Direction::Apply);
    RunSimulation(state, init, fit, reserved, table);
    const WorkingFloat objective = static_cast<WorkingFloat>(state.fit.ErreurCalc[TESSUVAN_POPULATION_SUMS]);

    // Second step, from the secant-corrected derivatives; kept unless the objective grew.
    PopulationStep(state, StepMode::SecantUpdate);
    if (state.fit.Erreur != 0) {
        fit->Erreur = state.fit.Erreur;
        return;
    }
    MovePopulationValues(state, Direction::Apply);
    RunSimulation(state, init, fit, reserved, table);
    if (static_cast<WorkingFloat>(state.fit.ErreurCalc[TESSUVAN_POPULATION_SUMS]) > objective) {
        MovePopulationValues(state, Direction::Undo);
        RunSimulation(state, init, fit, reserved, table);
    }

    // Mean squared relative change of both steps together.
    WorkingFloat s = 0;
    for (int p = 1; p <= n; ++p) {
        const PAjustable& parameter = state.AdjustableTable[p];
        table->Values[0][p - 1] = static_cast<float>(parameter.PV[0]);
        if (PopulationFitted(parameter)) {
            const WorkingFloat r = (parameter.PV[0] - snapshot[p]) / snapshot[p];
            s = s + r * r;
        }
    }
    const bool done = Converged(fit->Tolerance, s, state.AdjustedCount);
    fit->Done = done ? -1 : 0;

    if (done) {
        PopulationStandardErrors(state);
        if (state.fit.Erreur != 0) {
            fit->Erreur = state.fit.Erreur;
            return;
        }
        if (counts.NPopAPriori > 0) PoolPopulationDeviation(state);
    }
    if (state.fit.Erreur == 0) {
        for (int p = 1; p <= n; ++p) {
            const PAjustable& parameter = state.AdjustableTable[p];
            table->StandardErrors[p - 1] = parameter.PE != nullptr ? 0.0f : static_cast<float>(parameter.PS[0]);
        }
    }
}

}  // namespace tessuvan
