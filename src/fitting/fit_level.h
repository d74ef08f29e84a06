// A level of the fit: the population, or one individual. The damped Gauss–Newton step and
// iteration are written once (gauss_newton_step.h, gauss_newton_iteration.h); a level
// supplies only what differs between the two:
//   state, column        the state fitted and the index of its values: PV[column],
//                        dP[column] and the Table row of the values handed back;
//   first/lastIndividual the individuals whose predictions the level fits, in order;
//   Fitted()             the parameters the level adjusts, in parameter order (row and column
//                        a of the equations hold number[a]); chosen afresh at every use, with
//                        the current values;
//   Prediction, PreviousPrediction, Sensitivity
//                        the ModelStore fields the level fits and differentiates;
//   Simulate(simulator, scratch)
//                        the simulation behind one finite difference;
//   Prior(parameter)     the prior row of a fitted parameter (its pull and weight);
//   Objective()          the sum of squares the second step must not increase;
//   ConvergenceCount()   the denominator of the convergence test;
//   kSolvesWithoutFittedParameters
//                        whether a step with no parameter fitted still calls the solver
//                        (which then gives its order status);
//   kClearsStepsNotFitted
//                        whether a step writes dP[column] = 0 for the parameters not fitted.
#pragma once

#include <concepts>
#include <cstdint>

#include "fitting/fit_support.h"
#include "library/library_state.h"
#include "library/model_store.h"

namespace tessuvan {

// Where a level's values and predictions are.
struct LevelScope {
    LibraryState& state;
    int column = 0;           // 0 for the population, i for individual i
    int firstIndividual = 1;  // the individuals whose points the level fits
    int lastIndividual = 0;
};

// The prior row of a fitted parameter: pull enters the right-hand side g, weight the diagonal
// of M, both before the damping.
struct PriorRow {
    WorkingFloat pull = 0;
    WorkingFloat weight = 0;
};

template <typename Level>
concept FitLevel = std::derived_from<Level, LevelScope> &&
    requires(const Level level, const PAjustable& parameter, LibraryState& simulator, ModelStore& store, int i) {
        { level.Fitted() } -> std::same_as<FittedParameters>;
        { Level::Prediction(store, i, i, i) } -> std::same_as<WorkingFloat&>;
        { Level::PreviousPrediction(store, i, i, i) } -> std::same_as<WorkingFloat&>;
        { Level::Sensitivity(store, i, i, i, i) } -> std::same_as<WorkingFloat&>;
        level.Simulate(simulator, store);
        { level.Prior(parameter) } -> std::same_as<PriorRow>;
        { level.Objective() } -> std::same_as<WorkingFloat>;
        { level.ConvergenceCount() } -> std::same_as<int32_t>;
        { Level::kSolvesWithoutFittedParameters } -> std::convertible_to<bool>;
        { Level::kClearsStepsNotFitted } -> std::convertible_to<bool>;
    };

}  // namespace tessuvan
