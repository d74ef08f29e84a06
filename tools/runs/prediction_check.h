// Predictions that are infinite or not a number (a volume of 0, a rate that overflows) are an
// error naming the output, the individual and the time of the first one, unless the model
// file keeps them (fit.allow_non_finite = true), and then a warning counts them.
#pragma once

#include "engine/engine_input.h"
#include "model/model_file.h"
#include "runs/run.h"

namespace tessuvan::cli {

// Throws ModelError.
void CheckPredictionsFinite(const Model& model, const EngineProblem& problem, RunResult& result);

}  // namespace tessuvan::cli
