// The population as a level of the fit: the values PV[0] of the parameters whose population
// code is 2 or 3, fitted through the population predictions of every individual to
//   Σ_i Σ_l Σ_k Weight·(Observed − PopulationPrediction)²  +  Σ_p PW[1]·(PV[NIndividuals+1] − PV[0])².
// Its steps are tested against PV[0] with its sign, so a negative value is fitted too.
#pragma once

#include "fitting/fit_level.h"
#include "library/drivers.h"

namespace tessuvan {

struct PopulationLevel : LevelScope {
    explicit PopulationLevel(LibraryState& fitted) : LevelScope{fitted, 0, 1, fitted.init.record.NIndividuals} {}

    FittedParameters Fitted() const { return PopulationFittedParameters(state); }

    static WorkingFloat& Prediction(ModelStore& store, int i, int k, int l) { return store.PopulationPrediction(i, k, l); }
    static WorkingFloat& PreviousPrediction(ModelStore& store, int i, int k, int l)
    {
        return store.PreviousPopulationPrediction(i, k, l);
    }
    static WorkingFloat& Sensitivity(ModelStore& store, int i, int k, int l, int p)
    {
        return store.PopulationSensitivity(i, k, l, p);
    }
    // The derivatives cover all individuals.
    void Simulate(LibraryState& simulator, ModelStore& scratch) const { SimulatePopulation(simulator, scratch); }

    // A pull towards the a-priori centre with weight PW[1].
    PriorRow Prior(const PAjustable& parameter) const
    {
        return {(parameter.PV[state.init.record.NIndividuals + 1] - parameter.PV[0]) * parameter.PW[1], parameter.PW[1]};
    }

    WorkingFloat Objective() const { return static_cast<WorkingFloat>(state.fit.ErreurCalc[TESSUVAN_POPULATION_SUMS]); }
    int32_t ConvergenceCount() const { return state.AdjustedCount; }

    // With no parameter fitted there is no system to solve and no step is written.
    static constexpr bool kSolvesWithoutFittedParameters = false;
    static constexpr bool kClearsStepsNotFitted = true;
};

}  // namespace tessuvan
