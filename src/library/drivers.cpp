// The simulation drivers. For one individual: install the time of its first point, the
// parameter values (its own, or the population's) and its Q values, evaluate the defining
// formulas, then walk its points through the interrupts. Interrupt j, when it is reached at
// point i, re-sets the P parameters and the species amounts by their formulas and predicts
// point i; the amounts are then integrated from point to point while the points belong to j,
// and every point reached within j is predicted. A point that opens a later interrupt is
// predicted when that interrupt is applied to it.
//
// Absent formulas: a P parameter or species amount without a formula for the interrupt keeps
// its value, an output without a formula predicts 0. Integration failures do not stop the
// walk: the point an interval ends at carries the code as its predictions.
//
// A walk tells a sink what it does (walk_reuse.h): one that keeps nothing, or one that keeps a
// record for the walk's replay.
#include "library/drivers.h"

#include <cmath>

#include "integration/right_hand_side_plan.h"

namespace tessuvan {

namespace {

WorkingFloat ValueOrZero(const compil* formula) { return FormulaPresent(formula) ? EvaluateFormula(formula) : 0; }

// The value a population simulation of individual a takes for parameter k.
WorkingFloat PopulationValue(const PAjustable& parameter, int a)
{
    const int16_t code = parameter.PA[0];
    if (code == FitCodeFixed || code == FitCodeIndividualOnly) return parameter.PV[a];
    if (kTinyPopulationValueUsesIndividual && std::fabs(parameter.PV[0]) < ObservationThreshold) return parameter.PV[a];
    return parameter.PV[0];
}

// The value a walk of the level installs for parameter k before the definitions run.
WorkingFloat InstalledValue(const LibraryState& state, int k, int a, WalkLevel level)
{
    const PAjustable& parameter = state.AdjustableTable[k];
    return level == WalkLevel::Individual ? parameter.PV[a] : PopulationValue(parameter, a);
}

}  // namespace

WalkInputs InputsOfWalk(const LibraryState& state, int a, const ModelStore& store, WalkLevel level)
{
    const BInitials& counts = state.init.record;
    WalkInputs inputs;
    for (int k = 1; k <= counts.NAjustables; ++k) inputs.values[static_cast<size_t>(inputs.count++)] = InstalledValue(state, k, a, level);
    for (int k = 1; k <= counts.NQParametres; ++k) inputs.values[static_cast<size_t>(inputs.count++)] = state.IndividualQValues[k][a];
    inputs.values[static_cast<size_t>(inputs.count++)] = static_cast<WorkingFloat>(state.fit.Precision);
    inputs.method = state.CurrentIntegrator;
    inputs.points = store.PointCount(a);
    return inputs;
}

namespace {

// One walk, telling its sink (walk_reuse.h) what it does.
template <typename Sink>
class Walk {
public:
    Walk(LibraryState& state, int a, ModelStore& store, WalkLevel level, Sink sink)
        : state_(state), counts_(state.init.record), v_(state.variables), a_(a), store_(store), level_(level),
          rhs_(state.Equations()), sink_(sink)
    {
    }

    void Run()
    {
        const int n = store_.PointCount(a_);
        if (n >= 1) v_.CurrentTime = store_.Time(a_, 1);
        InstallParameters();

        int i = 1;
        for (int j = 1; j <= counts_.NInterrupts; ++j) {
            // Interrupt j applies at point i unless the walk is past the last point, or is at the
            // last point and that point belongs to an earlier interrupt.
            if (i > n || (i == n && store_.Interrupt(a_, n) < j)) continue;
            for (int k = 1; k <= counts_.NPParametres; ++k) {
                const compil* formula = state_.PParameterFormulas[k][j];
                if (FormulaPresent(formula)) v_.PParameters[k] = EvaluateFormula(formula);
            }
            for (int s = 1; s <= counts_.NEspeces; ++s) {
                const compil* formula = state_.SpeciesTable[s].Formula[a_][j];
                if (FormulaPresent(formula)) v_.SpeciesAmounts[s] = EvaluateFormula(formula);
            }
            Predict(i);
            while (i < n && store_.Interrupt(a_, i) == j) {
                Integrate(store_.Time(a_, i), store_.Time(a_, i + 1));
                ++i;
                v_.CurrentTime = store_.Time(a_, i);
                if (store_.Interrupt(a_, i) != j) break;
                if (state_.fit.Erreur != 0) {
                    for (int k = 1; k <= counts_.NSorties; ++k)
                        Prediction(i, k) = static_cast<WorkingFloat>(state_.fit.Erreur);
                    Wrote(i, false);
                } else {
                    Predict(i);
                }
            }
        }
        sink_.Finished(v_, state_.fit.Erreur);
    }

private:
    WorkingFloat& Prediction(int j, int k)
    {
        return level_ == WalkLevel::Individual ? store_.IndividualPrediction(a_, j, k) : store_.PopulationPrediction(a_, j, k);
    }
    WorkingFloat& PreviousPrediction(int j, int k)
    {
        return level_ == WalkLevel::Individual ? store_.PreviousIndividualPrediction(a_, j, k)
                                           : store_.PreviousPopulationPrediction(a_, j, k);
    }

    void Predict(int j)
    {
        for (int k = 1; k <= counts_.NSorties; ++k) {
            PreviousPrediction(j, k) = Prediction(j, k);
            Prediction(j, k) = ValueOrZero(state_.OutputFormulas[k]);
        }
        Wrote(j, true);
    }

    // Tells the sink of a write of point j's predictions.
    void Wrote(int j, bool prediction)
    {
        sink_.Wrote(j, prediction, counts_.NSorties, [this, j](int k) { return Prediction(j, k); });
    }

    // Values, Q parameters, then defining formulas in order (each sees the lower ones' new
    // values); a population walk keeps a defined value in PV[0], an individual one in PV[a].
    void InstallParameters()
    {
        const int adjustables = counts_.NAjustables;
        for (int k = 1; k <= adjustables; ++k) v_.AdjustableValues[k] = InstalledValue(state_, k, a_, level_);
        for (int k = 1; k <= counts_.NQParametres; ++k) v_.QParameters[k] = state_.IndividualQValues[k][a_];
        for (int k = 1; k <= adjustables; ++k) {
            const compil* definition = state_.AdjustableDefinitions[k].PE;
            if (!FormulaPresent(definition)) continue;
            const WorkingFloat value = EvaluateFormula(definition);
            state_.AdjustableTable[k].PV[level_ == WalkLevel::Individual ? a_ : 0] = value;
            v_.AdjustableValues[k] = value;
            sink_.Defined(k, value);
        }
    }

    void Integrate(WorkingFloat t0, WorkingFloat t1)
    {
        sink_.Integrated();
        if (state_.CurrentIntegrator == nullptr) {
            state_.fit.Erreur = TessuvanIntegrationNoMethod;
            return;
        }
        state_.CurrentIntegrator(rhs_, counts_.NEspeces, t0, t1, static_cast<WorkingFloat>(state_.fit.Precision),
                                v_.SpeciesAmounts, v_.SpeciesAmounts, state_.fit.Erreur);
    }

    LibraryState& state_;
    const BInitials& counts_;
    FormulaVariables& v_;
    int a_;
    ModelStore& store_;
    WalkLevel level_;
    RightHandSide rhs_;
    Sink sink_;
};

}  // namespace

void RunWalk(LibraryState& state, int a, ModelStore& store, WalkLevel level, WalkRecord* record)
{
    if (record == nullptr) Walk(state, a, store, level, WalkNotRecorded{}).Run();
    else Walk(state, a, store, level, WalkRecorder(*record)).Run();
}

void ReplayWalkRecord(LibraryState& state, int a, ModelStore& store, WalkLevel level, const WalkRecord& record)
{
    const int outputs = state.init.record.NSorties;
    size_t next = 0;
    for (const WalkRecord::Write& write : record.writes) {
        for (int k = 1; k <= outputs; ++k) {
            const WorkingFloat value = record.values[next++];
            if (level == WalkLevel::Individual) {
                if (write.prediction) store.PreviousIndividualPrediction(a, write.point, k) = store.IndividualPrediction(a, write.point, k);
                store.IndividualPrediction(a, write.point, k) = value;
            } else {
                if (write.prediction) store.PreviousPopulationPrediction(a, write.point, k) = store.PopulationPrediction(a, write.point, k);
                store.PopulationPrediction(a, write.point, k) = value;
            }
        }
    }
    for (const auto& [k, value] : record.definedValues) state.AdjustableTable[k].PV[level == WalkLevel::Individual ? a : 0] = value;
    state.variables = record.cellsLeft;
    if (record.codeWritten) state.fit.Erreur = record.code;
}

namespace {

// The record slot of walk (level, a) when the state reuses walks on this store (the model's
// own: scratch simulations are never recorded); nullptr otherwise or when out of memory.
WalkRecord* RecordSlot(LibraryState& state, int a, const ModelStore& store, WalkLevel level)
{
    WalkReuse& reuse = state.walkReuse;
    if (!reuse.active || &store != state.store.get()) return nullptr;
    if (!reuse.MakeRoom(state.init.record.NIndividuals)) return nullptr;
    return &reuse.records[level == WalkLevel::Individual ? 1 : 0][static_cast<size_t>(a)];
}

void RunOrReplay(LibraryState& state, int a, ModelStore& store, WalkLevel level)
{
    WalkRecord* record = RecordSlot(state, a, store, level);
    if (record != nullptr) {
        const WalkInputs inputs = InputsOfWalk(state, a, store, level);
        if (record->valid && record->inputs.Same(inputs)) {
            ReplayWalkRecord(state, a, store, level, *record);
            ++state.walkReuse.replayed;
            return;
        }
        record->Start(inputs);
    }
    RunWalk(state, a, store, level, record);
}

}  // namespace

bool WalkSimulable(const LibraryState& state, int a, const ModelStore& store)
{
    return a >= 1 && a <= state.init.record.NIndividuals && a <= store.shape().individuals;
}

bool WalkInputs::Same(const WalkInputs& other) const
{
    if (count != other.count || method != other.method || points != other.points) return false;
    for (int n = 0; n < count; ++n)
        if (!SameBits(values[static_cast<size_t>(n)], other.values[static_cast<size_t>(n)])) return false;
    return true;
}

void SimulateIndividual(LibraryState& state, int a, ModelStore& store)
{
    if (!WalkSimulable(state, a, store)) return;
    RunOrReplay(state, a, store, WalkLevel::Individual);
}

void SimulatePopulation(LibraryState& state, ModelStore& store)
{
    for (int a = 1; a <= state.init.record.NIndividuals; ++a)
        if (WalkSimulable(state, a, store)) RunOrReplay(state, a, store, WalkLevel::Population);
}

}  // namespace tessuvan
