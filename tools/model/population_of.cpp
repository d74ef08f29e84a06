#include "model/population_of.h"

#include <algorithm>
#include <cmath>

namespace tessuvan::cli {

namespace {

// The block of [omega] that holds `name`, or null.
const StatedOmegaBlock* BlockOf(const Model& model, const std::string& name)
{
    for (const StatedOmegaBlock& block : model.omegaBlocks)
        if (std::find(block.names.begin(), block.names.end(), name) != block.names.end()) return &block;
    return nullptr;
}

}  // namespace

population::PopulationModel PopulationOf(const Model& model)
{
    population::PopulationModel result;
    for (const ParameterSpec& parameter : model.parameters) {
        if (!parameter.formula.empty()) continue;
        const bool fixed = parameter.estimate == Estimate::Fixed;
        if (fixed && parameter.omega == 0) continue;
        result.thetas.push_back({parameter.name, parameter.value, fixed});
        result.thetas.back().scale = parameter.scale;
        if (!(parameter.omega > 0)) continue;
        if (!parameter.occasionOf.empty()) {
            if (result.occasions.empty() || result.occasions.back().parameter != parameter.occasionOf)
                result.occasions.push_back({parameter.occasionOf, {}, parameter.omega, parameter.omegaFixed});
            result.occasions.back().kappas.push_back(parameter.name);
            continue;
        }
        const StatedOmegaBlock* stated = BlockOf(model, parameter.name);
        if (stated == nullptr) {
            result.omega.blocks.push_back(
                {{parameter.name}, Eigen::MatrixXd::Constant(1, 1, parameter.omega), parameter.omegaFixed});
            continue;
        }
        if (stated->names.front() != parameter.name) continue;  // the block stands at its first parameter
        // Ω_b = D R D with D the starting standard deviations and R the starting correlations.
        const Eigen::Index n = Eigen::Index(stated->names.size());
        Eigen::VectorXd sd(n);
        for (Eigen::Index r = 0; r < n; ++r)
            for (const ParameterSpec& member : model.parameters)
                if (member.name == stated->names[std::size_t(r)]) sd[r] = std::sqrt(member.omega);
        const Eigen::MatrixXd correlation = Eigen::Map<const Eigen::MatrixXd>(stated->correlation.data(), n, n);
        Eigen::MatrixXd covariance = sd.asDiagonal() * correlation * sd.asDiagonal();
        for (Eigen::Index r = 0; r < n; ++r)  // the variances exactly as written
            for (const ParameterSpec& member : model.parameters)
                if (member.name == stated->names[std::size_t(r)]) covariance(r, r) = member.omega;
        result.omega.blocks.push_back({stated->names, covariance, stated->fixed});
    }
    const auto errorOf = [](const ErrorSpec& written) {
        population::ErrorModel error;
        error.output = written.output;
        error.additive = written.additive || written.exponential;
        error.additiveFixed = written.exponential ? written.exponentialFixed : written.additiveFixed;
        error.proportional = written.proportional;
        error.proportionalFixed = written.proportionalFixed;
        error.value.additive = written.exponential ? written.exponentialValue
                               : written.additive  ? written.additiveValue
                                                   : 0.0;
        error.value.proportional = written.proportional ? written.proportionalValue : 0.0;
        error.value.exponential = written.exponential;
        return error;
    };
    result.errors.clear();
    if (model.outputErrors.empty()) result.errors.push_back(errorOf(model.error));
    for (const ErrorSpec& written : model.outputErrors) result.errors.push_back(errorOf(written));
    return result;
}

std::vector<population::Scale> ScalesOf(const Model& model)
{
    std::vector<population::Scale> scales;
    for (const ParameterSpec& parameter : model.parameters) scales.push_back(parameter.scale);
    return scales;
}

}  // namespace tessuvan::cli
