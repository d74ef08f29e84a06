#include <algorithm>

#include "fmt/format.h"
#include "results/report.h"

namespace tessuvan::cli {

std::string FormatValue(double value) { return fmt::format("{:.6g}", value); }

std::string FormatRse(double value, double se)
{
    if (!(se > 0) || value == 0) return "-";
    return fmt::format("{:.1f}%", 100.0 * se / std::fabs(value));
}

namespace {

std::string ConvergenceWords(const RunResult& result)
{
    if (!result.fit) return "simulated at the model's values";
    if (!result.populationFitted) return "no population value to estimate";
    return result.populationConverged ? fmt::format("converged after {} iteration(s)", result.populationIterations)
                                      : fmt::format("NOT converged after {} iteration(s)", result.populationIterations);
}

template <typename Line>
void IndividualTable(const ReportContext& context, std::size_t idWidth, Line& line)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    line("Individual values");
    std::string header = fmt::format("  {:<{}}", "ID", idWidth);
    for (const ParameterSpec& parameter : model.parameters)
        header += fmt::format("  {:>{}}", parameter.name, std::max<std::size_t>(10, parameter.name.size()));
    header += fmt::format("  {:>12}", "objective");
    if (result.fit && result.individualsFitted) header += "  iterations";
    line(header);
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        std::string row = fmt::format("  {:<{}}", problem.individuals[i].id, idWidth);
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            row += fmt::format("  {:>{}}", FormatValue(result.values.individual[i][p]),
                               std::max<std::size_t>(10, model.parameters[p].name.size()));
        row += fmt::format("  {:>12}", FormatValue(result.individualObjectives[i]));
        if (result.fit && result.individualsFitted)
            row += fmt::format("  {:>3} {}", result.individualIterations[i],
                               result.individualConverged[i] ? "converged" : "NOT converged");
        line(row);
    }
}

}  // namespace

std::string TextReport(const ReportContext& context)
{
    const Model& model = *context.model;
    const EngineProblem& problem = *context.problem;
    const RunResult& result = *context.result;
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };

    std::size_t nameWidth = 9;
    for (const ParameterSpec& p : model.parameters) nameWidth = std::max(nameWidth, p.name.size());
    std::size_t idWidth = 2;
    for (const EngineIndividual& i : problem.individuals) idWidth = std::max(idWidth, i.id.size());

    line(fmt::format("{} of {} {} {}", result.fit ? "Fit" : "Simulation", context.modelPath, result.fit ? "to" : "on",
                     context.dataPath));
    line(fmt::format("{} individuals, {} observations, method {}, error exponent {}, {:.1f} s",
                     problem.individuals.size(), result.observations.size(), model.fit.method,
                     FormatValue(model.fit.errorExponent), context.seconds));
    line("");
    line("Population values: " + ConvergenceWords(result));
    line(fmt::format("  {:<{}}  {:>12}  {:>12}  {:>8}  {:>12}  {}", "parameter", nameWidth, "value", "std. error",
                     "RSE", "initial", "estimated"));
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const ParameterSpec& parameter = model.parameters[p];
        const double value = result.values.population[p];
        const double se = result.values.standardErrors[p];
        const std::string how =
            parameter.formula.empty() ? EstimateWords(parameter.estimate) : "= " + parameter.formula;
        line(fmt::format("  {:<{}}  {:>12}  {:>12}  {:>8}  {:>12}  {}", parameter.name, nameWidth, FormatValue(value),
                         se > 0 ? FormatValue(se) : "-", FormatRse(value, se),
                         parameter.formula.empty() ? FormatValue(parameter.value) : "-", how));
    }
    line("");
    if (context.summary)
        line(fmt::format("Individual values: all {} in individuals.csv (--verbose shows them here)",
                         problem.individuals.size()));
    else
        IndividualTable(context, idWidth, line);
    line("");
    line("Objectives (weighted sums of squared residuals)");
    line(fmt::format("  population predictions  {}", FormatValue(result.populationObjective)));
    line(fmt::format("  individual predictions  {}", FormatValue(result.individualObjective)));
    line(fmt::format("  prior penalty           {}", FormatValue(result.priorPenalty)));
    if (!result.warnings.empty()) {
        line("");
        line("Warnings");
        for (const std::string& warning : result.warnings) line("  " + warning);
    }
    return out;
}

}  // namespace tessuvan::cli
