#include "model/population_of.h"

namespace tessuvan::cli {

population::PopulationModel PopulationOf(const Model& model)
{
    population::PopulationModel result;
    for (const ParameterSpec& parameter : model.parameters) {
        if (!parameter.formula.empty()) continue;
        const bool fixed = parameter.estimate == Estimate::Fixed;
        if (fixed && parameter.omega == 0) continue;
        result.thetas.push_back({parameter.name, parameter.value, fixed});
        if (parameter.omega > 0)
            result.omega.blocks.push_back(
                {{parameter.name}, Eigen::MatrixXd::Constant(1, 1, parameter.omega), parameter.omegaFixed});
    }
    population::ErrorModel& error = result.error;
    error.additive = model.error.additive;
    error.additiveFixed = model.error.additiveFixed;
    error.proportional = model.error.proportional;
    error.proportionalFixed = model.error.proportionalFixed;
    error.value.additive = model.error.additive ? model.error.additiveValue : 0.0;
    error.value.proportional = model.error.proportional ? model.error.proportionalValue : 0.0;
    return result;
}

}  // namespace tessuvan::cli
