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
#include "library/drivers.h"

#include <cmath>

namespace tessuvan {

namespace {

enum class Level { Individual, Population };

WorkingFloat ValueOrZero(const compil* formula) { return FormulaPresent(formula) ? EvaluateFormula(formula) : 0; }

// The value a population simulation of individual a takes for parameter k.
WorkingFloat PopulationValue(const PAjustable& parameter, int a)
{
    const int16_t code = parameter.PA[0];
    if (code == FitCodeFixed || code == FitCodeIndividualOnly) return parameter.PV[a];
    if (kTinyPopulationValueUsesIndividual && std::fabs(parameter.PV[0]) < ObservationThreshold) return parameter.PV[a];
    return parameter.PV[0];
}

class Walk {
public:
    Walk(LibraryState& state, int a, ModelStore& store, Level level)
        : state_(state), counts_(state.init.record), v_(state.variables), a_(a), store_(store), level_(level),
          rhs_(state.Equations())
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
                } else {
                    Predict(i);
                }
            }
        }
    }

private:
    WorkingFloat& Prediction(int j, int k)
    {
        return level_ == Level::Individual ? store_.IndividualPrediction(a_, j, k) : store_.PopulationPrediction(a_, j, k);
    }
    WorkingFloat& PreviousPrediction(int j, int k)
    {
        return level_ == Level::Individual ? store_.PreviousIndividualPrediction(a_, j, k)
                                           : store_.PreviousPopulationPrediction(a_, j, k);
    }

    void Predict(int j)
    {
        for (int k = 1; k <= counts_.NSorties; ++k) {
            PreviousPrediction(j, k) = Prediction(j, k);
            Prediction(j, k) = ValueOrZero(state_.OutputFormulas[k]);
        }
    }

    // Values, Q parameters, then defining formulas in order (each sees the lower ones' new
    // values); a population walk keeps a defined value in PV[0], an individual one in PV[a].
    void InstallParameters()
    {
        const int adjustables = counts_.NAjustables;
        for (int k = 1; k <= adjustables; ++k) {
            const PAjustable& parameter = state_.AdjustableTable[k];
            v_.AdjustableValues[k] = level_ == Level::Individual ? parameter.PV[a_] : PopulationValue(parameter, a_);
        }
        for (int k = 1; k <= counts_.NQParametres; ++k) v_.QParameters[k] = state_.IndividualQValues[k][a_];
        for (int k = 1; k <= adjustables; ++k) {
            PAjustable& parameter = state_.AdjustableTable[k];
            if (!FormulaPresent(parameter.PE)) continue;
            const WorkingFloat value = EvaluateFormula(parameter.PE);
            parameter.PV[level_ == Level::Individual ? a_ : 0] = value;
            v_.AdjustableValues[k] = value;
        }
    }

    void Integrate(WorkingFloat t0, WorkingFloat t1)
    {
        if (state_.CurrentIntegrator == nullptr) {
            state_.fit.Erreur = TessuvanIntegrationNoMethod;
            return;
        }
        state_.ActiveIntegrator()(rhs_, counts_.NEspeces, t0, t1, static_cast<WorkingFloat>(state_.fit.Precision),
                                 v_.SpeciesAmounts, v_.SpeciesAmounts, state_.fit.Erreur);
    }

    LibraryState& state_;
    const BInitials& counts_;
    FormulaVariables& v_;
    int a_;
    ModelStore& store_;
    Level level_;
    RightHandSide rhs_;
};

bool Simulable(const LibraryState& state, int a, const ModelStore& store)
{
    return a >= 1 && a <= state.init.record.NIndividuals && a <= store.shape().individuals;
}

}  // namespace

void SimulateIndividual(LibraryState& state, int a, ModelStore& store)
{
    if (!Simulable(state, a, store)) return;
    Walk(state, a, store, Level::Individual).Run();
}

void SimulatePopulation(LibraryState& state, ModelStore& store)
{
    for (int a = 1; a <= state.init.record.NIndividuals; ++a)
        if (Simulable(state, a, store)) Walk(state, a, store, Level::Population).Run();
}

}  // namespace tessuvan
