// A whole run of the engine on a model and a data set: load, simulate, and for a fit the
// population iterations until the engine reports convergence (or the iteration limit), then
// each individual's iterations, then the final simulation; and a second engine run with extra
// points on a fine time grid, which draws each individual's curves.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_input.h"
#include "engine/engine_session.h"
#include "estimation/focei.h"
#include "model/model_file.h"

namespace tessuvan::cli {

struct Observation {
    std::size_t individual = 0;  // 0-based
    int line = 0;                // data set line
    std::size_t output = 0;      // 0-based
    double time = 0;
    double dv = 0;
    double pred = 0;   // population prediction
    double ipred = 0;  // individual prediction
    double wres = 0;   // population weighted residual: sqrt(w)·(DV − PRED)
    double iwres = 0;  // individual weighted residual: sqrt(w)·(DV − IPRED); FOCEI: (DV − IPRED)/σ(IPRED)
    double cwres = 0;  // FOCEI: conditional weighted residual
    int censored = 0;  // FOCEI: CENS of the row (DV its limit; no residuals), 0 observed
};

struct CurvePoint {
    std::size_t individual = 0;
    double time = 0;
    std::vector<double> pred;   // [k]
    std::vector<double> ipred;  // [k]
};

struct RunResult {
    bool fit = false;  // a fit, or a simulation at the model's values
    ParameterValues initial;
    ParameterValues values;
    bool populationFitted = false;  // some parameter has a population value to estimate
    bool populationConverged = false;
    int populationIterations = 0;
    bool individualsFitted = false;  // some parameter has individual values to estimate
    std::vector<int> individualIterations;
    std::vector<bool> individualConverged;
    double populationObjective = 0;
    double individualObjective = 0;
    double priorPenalty = 0;
    std::vector<double> individualObjectives;
    std::vector<Observation> observations;
    std::vector<Observation> predictedRows;  // EVID 2 rows: predictions without DV (dv, residuals 0)
    std::vector<CurvePoint> curves;
    std::vector<std::string> warnings;
    // The population estimation (FOCEI), when it ran; the fields above then hold its typical
    // values (population), the individual values at the modes and its residuals.
    std::shared_ptr<const estimation::FoceiResult> focei;
};

// What the run is doing now, for a progress line.
using ProgressReport = std::function<void(const std::string& status)>;

// A result before the run: the problem's warnings, every individual at the model's values,
// no iteration yet.
RunResult StartingResult(const Model& model, const EngineProblem& problem, bool fit);

RunResult RunEngine(const Model& model, const EngineProblem& problem, bool fit, const ProgressReport& progress);

// PRED and IPRED of every individual on a fine time grid, at the given values.
std::vector<CurvePoint> FineCurves(const Model& model, const EngineProblem& problem, const ParameterValues& values);

// The engine's weight of each observation is s·y^−γ, with s chosen so that the weighted
// squared population residuals have geometric mean 1 (observations with a non-zero residual):
//   s = exp((γ·Σ ln y − Σ ln (P − y)²) / n).
double WeightScale(const std::vector<Observation>& observations, double gamma);

// Predictions that are infinite or not a number (a volume of 0, a rate that overflows) are an
// error naming the output, the individual and the time of the first one, unless the model
// file keeps them (fit.allow_non_finite = true), and then a warning counts them. Throws
// ModelError (prediction_check.cpp).
void CheckPredictionsFinite(const Model& model, const EngineProblem& problem, RunResult& result);

}  // namespace tessuvan::cli
