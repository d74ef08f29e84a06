#include "fitting/gauss_newton_iteration.h"

#include "fitting/gauss_newton_step.h"
#include "fitting/individual_level.h"
#include "fitting/population_level.h"
#include "library/simulation.h"

namespace tessuvan {
namespace {

// value := value ± dP of every fitted parameter, and the formula cell with it.
template <FitLevel Level>
void MoveValues(const Level& level, Direction direction)
{
    const FittedParameters fitted = level.Fitted();
    for (int a = 1; a <= fitted.count; ++a) {
        const int p = fitted.number[a];
        PAjustable& parameter = level.state.AdjustableTable[p];
        WorkingFloat& value = parameter.PV[level.column];
        value = direction == Direction::Apply ? value + parameter.dP[level.column] : value - parameter.dP[level.column];
        level.state.variables.AdjustableValues[p] = value;
    }
}

void Simulate(LibraryState& state, const FitCall& call) { Simulate(state, call.init, call.fit, call.table); }

// One step, applied and simulated; false when the step stopped on the working Erreur, which
// Fit.Erreur then receives.
template <FitLevel Level>
bool StepAndSimulate(const Level& level, StepMode mode, const FitCall& call)
{
    GaussNewtonStep(level, mode);
    if (level.state.fit.Erreur != 0) {
        call.fit->Erreur = level.state.fit.Erreur;
        return false;
    }
    MoveValues(level, Direction::Apply);
    Simulate(level.state, call);
    return true;
}

}  // namespace

ValueSnapshot SnapshotValues(const LibraryState& state, int column, int count)
{
    ValueSnapshot snapshot{};
    for (int p = 1; p <= count; ++p) snapshot[p] = state.AdjustableTable[p].PV[column];
    return snapshot;
}

template <FitLevel Level>
IterationEnd GaussNewtonIteration(const Level& level, const FitCall& call, const ValueSnapshot& atEntry)
{
    if (!StepAndSimulate(level, StepMode::FiniteDifferences, call)) return IterationEnd::Stopped;
    const WorkingFloat objective = level.Objective();
    if (!StepAndSimulate(level, StepMode::SecantUpdate, call)) return IterationEnd::Stopped;
    // An equal objective keeps the second step.
    if (level.Objective() > objective) {
        MoveValues(level, Direction::Undo);
        Simulate(level.state, call);
    }

    LibraryState& state = level.state;
    const int column = level.column;
    for (int p = 1; p <= state.init.record.NAjustables; ++p)
        call.table->Values[column][p - 1] = static_cast<float>(state.AdjustableTable[p].PV[column]);
    const FittedParameters fitted = level.Fitted();
    WorkingFloat s = 0;
    for (int a = 1; a <= fitted.count; ++a) {
        const int p = fitted.number[a];
        const WorkingFloat r = (state.AdjustableTable[p].PV[column] - atEntry[p]) / atEntry[p];
        s = s + r * r;
    }
    const bool done = Converged(call.fit->Tolerance, s, level.ConvergenceCount());
    call.fit->Done = done ? -1 : 0;
    return done ? IterationEnd::Converged : IterationEnd::Continuing;
}

template IterationEnd GaussNewtonIteration(const PopulationLevel&, const FitCall&, const ValueSnapshot&);
template IterationEnd GaussNewtonIteration(const IndividualLevel&, const FitCall&, const ValueSnapshot&);

}  // namespace tessuvan
