#include <algorithm>

#include "fmt/format.h"
#include "runs/run_replicates.h"

namespace tessuvan::cli {

// The κ of inter-occasion variability (model/occasions.h), independent, after every η: π² of the
// model file, or of the fit's iov.
void AddOccasionEtas(const Model& model, const std::vector<std::pair<std::string, double>>* fitted,
                     simulation::VariabilityModel& variability)
{
    const bool blocks = !variability.blocks.empty();
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& kappa = model.parameters[p];
        if (kappa.occasionOf.empty()) continue;
        double variance = kappa.omega;
        if (fitted != nullptr) {
            const auto at = std::find_if(fitted->begin(), fitted->end(),
                                         [&](const auto& entry) { return entry.first == kappa.occasionOf; });
            if (at == fitted->end())
                throw ModelError(fmt::format("results.json: iov.{} is missing (the model {} gives {} an iov)",
                                             kappa.occasionOf, model.source, kappa.occasionOf));
            variance = at->second;
        }
        variability.etas.push_back({kappa.name, p, variance});
        if (blocks) variability.blocks.push_back({{kappa.name}, Eigen::MatrixXd::Constant(1, 1, variance), false});
    }
}

}  // namespace tessuvan::cli
