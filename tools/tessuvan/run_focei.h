// A population estimation by FOCEI of a model on a data set: the model's parameters become
// typical values (θ), variances of their log-normal variability (Ω) and the residual error
// (σ); the engine, loaded into engine states of the estimation's own (up to the engine's
// capacity of individuals each), simulates.
#pragma once

#include <filesystem>

#include "engine_input.h"
#include "focei.h"
#include "model_file.h"
#include "run.h"

namespace tessuvan::cli {

// The estimation's problem: θ for every free parameter not fixed by `estimate = "fixed"`,
// η for every parameter with an omega, the error of [error], and the observed values.
estimation::FoceiProblem FoceiProblemOf(const Model& model, const EngineProblem& problem);

RunResult RunFocei(const Model& model, const EngineProblem& problem, const std::filesystem::path& workFolder,
                   const ProgressReport& progress);

}  // namespace tessuvan::cli
