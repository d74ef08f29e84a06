// Individual i as a level of the fit: its values PV[i], fitted through its own predictions to
//   Σ_l Σ_k Weight·(Observed − IndividualPrediction)²
// plus a prior term per fitted parameter: towards the population value PV[0] with weight
// PW[0]·(ObservationCount[i] + 1) for code 2, towards the a-priori centre PV[NIndividuals+1]
// with weight PW[1] for code 1.
//
// A parameter is fitted for i when its code PA[i] is 1 or 2 and PV[i] > 1e-130, tested afresh
// with the current value wherever it is used; so only positive values are fitted, and the
// step limit keeps them above a tenth of what they were.
#pragma once

#include "fitting/fit_level.h"
#include "library/drivers.h"

namespace tessuvan {

// column, firstIndividual and lastIndividual are all the individual's number i.
struct IndividualLevel : LevelScope {
    IndividualLevel(LibraryState& fitted, int i) : LevelScope{fitted, i, i, i} {}

    FittedParameters Fitted() const { return IndividualFittedParameters(state, column); }

    // The derivatives cover individual i alone.
    void Simulate(LibraryState& simulator, ModelStore& scratch) const { SimulateIndividual(simulator, column, scratch); }
    static WorkingFloat& Sensitivity(ModelStore& store, int i, int k, int l, int p)
    {
        return store.IndividualSensitivity(i, k, l, p);
    }
    static WorkingFloat& Prediction(ModelStore& store, int i, int k, int l) { return store.IndividualPrediction(i, k, l); }
    static WorkingFloat& PreviousPrediction(ModelStore& store, int i, int k, int l)
    {
        return store.PreviousIndividualPrediction(i, k, l);
    }

    // Code 2 is pulled towards the population value, with the weight of the individual's
    // observations plus one; code 1 towards the a-priori centre.
    PriorRow Prior(const PAjustable& parameter) const
    {
        if (parameter.PA[column] == FitCodePopulationAndIndividual) {
            const WorkingFloat n = static_cast<WorkingFloat>(state.store->ObservationCount(column) + 1);
            return {(parameter.PV[0] - parameter.PV[column]) * parameter.PW[0] * n, parameter.PW[0] * n};
        }
        return {(parameter.PV[state.init.record.NIndividuals + 1] - parameter.PV[column]) * parameter.PW[1],
                parameter.PW[1]};
    }

    WorkingFloat Objective() const
    {
        return static_cast<WorkingFloat>(state.fit.ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + column]);
    }
    // The count of fitted values of the whole model, fixed at load, not this individual's.
    int32_t ConvergenceCount() const { return state.FittedValueCount; }

    // Always solved: an individual with observations but nothing fitted gets the order status.
    static constexpr bool kSolvesWithoutFittedParameters = true;
    // The steps of parameters not fitted stay as they were.
    static constexpr bool kClearsStepsNotFitted = false;
};

}  // namespace tessuvan
