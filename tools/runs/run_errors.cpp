// The residual errors the replicates draw: the model's, and a fit's σ read back in their place.
#include "model/population_of.h"
#include "runs/run_replicates.h"

namespace tessuvan::cli {

void SetModelErrors(const Model& model, simulation::VariabilityModel& variability)
{
    const population::PopulationModel population = PopulationOf(model);
    variability.outputErrors.clear();
    if (!population.PerOutput()) {
        variability.error = population.errors.front().value;
        return;
    }
    for (const population::ErrorModel& error : population.errors) variability.outputErrors.push_back(error.value);
    variability.error = variability.outputErrors.front();
}

void SetSigma(const Model& model, const std::string& name, double value, const std::string& source,
              simulation::VariabilityModel& variability)
{
    const std::size_t colon = name.find(':');
    const std::string output = colon == std::string::npos ? "" : name.substr(0, colon);
    const std::string term = colon == std::string::npos ? name : name.substr(colon + 1);
    estimation::ResidualError* error = &variability.error;
    if (!output.empty() || !variability.outputErrors.empty()) {
        std::size_t k = 0;
        while (k < model.outputs.size() && model.outputs[k].name != output) ++k;
        if (output.empty() || k == model.outputs.size() || variability.outputErrors.empty())
            throw ModelError(source + ": sigma" + (output.empty() ? "" : "." + output) +
                             (variability.outputErrors.empty()
                                  ? ": the model " + model.source + " has one [error] for every output"
                                  : ": the model " + model.source + " has an error model per output ([error.NAME])"));
        error = &variability.outputErrors[k];
    }
    if (term == "additive" && !error->exponential)
        error->additive = value;
    else if (term == "exponential" && error->exponential)
        error->additive = value;
    else if (term == "proportional" && !error->exponential)
        error->proportional = value;
    else
        throw ModelError(source + ": unknown residual error '" + name + "' (" +
                         (error->exponential ? "exponential" : "additive or proportional") + ")");
}

}  // namespace tessuvan::cli
