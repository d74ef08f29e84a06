// The population model a model file states: a θ per free parameter that is estimated or
// varies between individuals (its value the start), Ω as one 1×1 block per parameter with an
// omega, except those [omega] gathers into blocks (each standing at its first parameter), and
// the residual error of [error].
#pragma once

#include "model/model_file.h"
#include "population/population_model.h"

namespace tessuvan::cli {

population::PopulationModel PopulationOf(const Model& model);
// [parameter]: the scale of each model parameter (simulation::VariabilityModel::scales).
std::vector<population::Scale> ScalesOf(const Model& model);

}  // namespace tessuvan::cli
