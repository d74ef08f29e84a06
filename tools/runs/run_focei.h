// A population estimation by FOCEI of a model on a data set: the model's parameters become
// typical values (θ), variances of their log-normal variability (Ω) and the residual error
// (σ); the engine, loaded into engine states of the estimation's own (up to the engine's
// capacity of individuals each), simulates.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "engine/engine_adapter.h"
#include "engine/engine_input.h"
#include "engine/engine_session.h"
#include "estimation/focei.h"
#include "model/model_file.h"
#include "runs/run.h"

namespace tessuvan::cli {

// The estimation's problem: θ for every free parameter not fixed by `estimate = "fixed"`,
// η for every parameter with an omega, the error of [error], and the observed values.
estimation::FoceiProblem FoceiProblemOf(const Model& model, const EngineProblem& problem);

// The engine loaded for the estimation: the problem in blocks of at most the engine's
// capacity of individuals, each block's records (and files, in a folder of its own) and the
// simulator that drives them.
struct EngineStates {
    std::vector<EngineProblem> blocks;
    std::vector<std::unique_ptr<EngineSession>> sessions;
    estimation::EngineSimulator simulator;  // declared last: released first
};
// Throws EngineError when a block does not load.
void LoadEngineStates(const Model& model, const EngineProblem& problem, EngineStates& states);

RunResult RunFocei(const Model& model, const EngineProblem& problem, const ProgressReport& progress);

}  // namespace tessuvan::cli
