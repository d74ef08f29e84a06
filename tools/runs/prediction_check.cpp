#include "runs/result_check.h"
#include "runs/run.h"

#include <cmath>

#include "fmt/format.h"

namespace tessuvan::cli {

void CheckPredictionsFinite(const Model& model, const EngineProblem& problem, RunResult& result)
{
    int count = 0;
    for (const std::vector<Observation>* rows : {&result.observations, &result.predictedRows})
        for (const Observation& row : *rows) {
            const bool population = !Usable(row.pred);
            if (!population && Usable(row.ipred)) continue;
            ++count;
            if (model.fit.allowNonFinite) continue;
            const double value = population ? row.pred : row.ipred;
            const std::string message = fmt::format(
                "{}: the {} prediction of output '{}' for individual {} at time {} (data set line {}) is {}{}: a "
                "parameter value that divides by 0 (such as a volume of 0) or a value that overflows; set "
                "fit.allow_non_finite = true to keep such predictions",
                model.source, population ? "population" : "individual", model.outputs[row.output].name,
                problem.individuals[row.individual].id, row.time, row.line, value,
                std::isfinite(value) ? " (1e130 or beyond: the engine's stand-in for a division by 0)" : "");
            // Infinite or NaN: the model's values are wrong (2); the stand-in is the engine's answer (3).
            if (std::isfinite(value)) throw ResultError(message);
            throw ModelError(message);
        }
    if (count > 0)
        result.warnings.push_back(
            fmt::format("{} prediction(s) are infinite or not a number (kept: fit.allow_non_finite = true)", count));
}

}  // namespace tessuvan::cli
