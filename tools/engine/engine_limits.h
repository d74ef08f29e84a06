// The engine's limits, checked by the host on the formulas it writes, before the load.
//
// The engine reports a formula it cannot compile only as a count added to its load code, and
// that count adds to the codes 1 (no observation), 2 (too few observations) and 9 (unknown
// method), so the sum cannot say which formula failed, or even that one did. The host knows
// every formula it hands over, and where each came from, so it measures them the way the
// engine reads them and refuses, with the model-file key or the data set's individual, what
// the engine would refuse:
//   - at most 256 steps in one compiled part: the engine compiles a formula into a
//     straight-line program per parenthesised group, function argument and defined parameter
//     (each inlined where it is read), each of at most 256 steps;
//   - at most 100 such parts nested inside one another;
//   - at most 158 distinct numbers over all the formulas of one load (a dose amount, a
//     covariate value or a literal of the model each take one, equal values share one);
//   - at least one observation, and no fewer than the parameters with a population value to
//     estimate.
// Steps and nesting are counted by the engine's own compiler (Engine::CheckFormula) on the
// text as handed over; the engine's simplifier then only folds and removes (constants, factors
// of 1, redundant parentheses). The numbers it folds together may add entries; the count here
// is of the numbers written.
#pragma once

#include <string>
#include <vector>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"

namespace tessuvan::cli {

inline constexpr int kEngineStepsPerPart = 256;
inline constexpr int kEngineNesting = 100;
inline constexpr int kEngineConstants = 158;

struct FormulaSize {
    int steps = 0;  // steps of the largest compiled part
    int depth = 0;  // parts nested in one another below the formula itself
};

// Measures an engine formula text with the engine's compiler; `definitions` are the
// engine texts of the defining formulas, [parameter - 1], empty for a free parameter.
FormulaSize MeasureFormula(const std::string& text, const std::vector<std::string>& definitions);

// The distinct values of the numbers in an engine text, as the engine reads them (a minus sign
// directly before a number belongs to it), added to `values`.
void CollectConstants(const std::string& text, std::vector<double>& values);

// Throws ModelError or DataError naming the formula and the limit when the problem goes beyond
// what the engine can load; EngineError as CheckIntegrationReach does.
void CheckEngineLimits(const Model& model, const EngineProblem& problem, const DataSet& data);

// "RUNGE-KUTTA QC" estimates a step's error as the difference of one step and two half steps
// relative to the amounts. That difference is either exactly 0 or at least the rounding of a
// step, a few units in the last place of the engine's numbers (2.2e-16 in double precision), so
// a precision below ten of those units is never met: the step shrinks until it no longer
// advances the clock, and the engine then takes the rest of the interval in one step whatever
// its error (at 1e-20, predictions off by 2e-5 relative), where the other methods reach their
// ceiling of 250,000 steps. Throws EngineError (the command's status 3, as for that ceiling),
// naming the key and the finest precision the method can meet.
void CheckIntegrationReach(const Model& model);
double FinestQualityControlPrecision();

}  // namespace tessuvan::cli
