#include "runs/result_check.h"

#include "fmt/format.h"

namespace tessuvan::cli {

namespace {

std::string Shown(double value)
{
    if (Usable(value) || !std::isfinite(value)) return fmt::format("{}", value);
    return fmt::format("{:g} (1e130 or beyond: the engine's stand-in for a division by 0)", value);
}

}  // namespace

namespace {

[[noreturn]] void RefuseSimulated(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                                  const char* what, std::size_t i, std::size_t o, int replicate, double value)
{
    const DesignRow& row = design[i][o];
    throw ResultError(fmt::format(
        "{}: the simulated {} of output '{}' for individual {} at time {} (data set line {}{}) is {}: a parameter "
        "value that divides by 0 (such as a volume of 0), or a value, dose or variance that overflows",
        model.source, what, model.outputs[row.output].name, problem.individuals[i].id, row.time, row.line,
        replicate > 0 ? fmt::format(", replicate {}", replicate) : std::string(), Shown(value)));
}

}  // namespace

void CheckPredictionsUsable(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                            std::size_t firstIndividual, const std::vector<Eigen::VectorXd>& pred)
{
    for (std::size_t k = 0; k < pred.size(); ++k)
        for (Eigen::Index o = 0; o < pred[k].size(); ++o)
            if (!Usable(pred[k][o]))
                RefuseSimulated(model, problem, design, "PRED", firstIndividual + k, std::size_t(o), 0, pred[k][o]);
}

void CheckReplicateUsable(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                          std::size_t firstIndividual, int replicate,
                          const std::vector<simulation::SimulatedIndividual>& drawn)
{
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        const std::size_t i = firstIndividual + k;
        for (Eigen::Index e = 0; e < drawn[k].eta.size(); ++e)
            if (!Usable(drawn[k].eta[e]) && !design[i].empty())
                RefuseSimulated(model, problem, design, "ETA", i, 0, replicate, drawn[k].eta[e]);
        for (Eigen::Index o = 0; o < drawn[k].ipred.size(); ++o) {
            if (!Usable(drawn[k].ipred[o]))
                RefuseSimulated(model, problem, design, "IPRED", i, std::size_t(o), replicate, drawn[k].ipred[o]);
            if (!Usable(drawn[k].dv[o]))
                RefuseSimulated(model, problem, design, "DV", i, std::size_t(o), replicate, drawn[k].dv[o]);
        }
    }
}

void CheckVariabilityUsable(const Model& model, const simulation::VariabilityModel& variability,
                            const std::string& resultsFile)
{
    const auto refuse = [&](const std::string& key, double value, const char* expected) {
        throw ModelError(resultsFile.empty() ? fmt::format("{}: {}: {} is not {}", model.source, key, value, expected)
                                             : fmt::format("{}: {}: {} is not {}", resultsFile, key, value, expected));
    };
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        const double value = variability.typical[Eigen::Index(p)];
        if (model.parameters[p].formula.empty() && !Usable(value))
            refuse(resultsFile.empty() ? "parameters." + model.parameters[p].name
                                       : "theta." + model.parameters[p].name + ".value",
                   value, "a finite value below 1e130");
    }
    for (const auto& eta : variability.etas)
        if (!(Usable(eta.variance) && eta.variance >= 0))
            refuse(resultsFile.empty() ? "parameters." + eta.name + ".omega" : "omega." + eta.name + ".variance",
                   eta.variance, "a finite variance >= 0");
    const auto checkError = [&](const estimation::ResidualError& error, const std::string& output) {
        const std::string prefix = output.empty() ? "" : output + ".";
        for (const auto& [name, value] : {std::pair{error.exponential ? "exponential" : "additive", error.additive},
                                          std::pair{"proportional", error.proportional}})
            if (!(Usable(value) && value >= 0))
                refuse(resultsFile.empty() ? "error." + prefix + name : "sigma." + prefix + name + ".value", value,
                       "a finite value >= 0");
    };
    if (variability.outputErrors.empty()) checkError(variability.error, "");
    for (std::size_t k = 0; k < variability.outputErrors.size() && k < model.outputs.size(); ++k)
        checkError(variability.outputErrors[k], model.outputs[k].name);
}

void CheckRunUsable(const Model& model, const RunResult& result)
{
    if (model.fit.allowNonFinite) return;
    const auto check = [&](const std::string& what, double value) {
        if (!Usable(value))
            throw ResultError(
                fmt::format("{}: the {} is {}: a parameter value that divides by 0 (such as a volume "
                            "of 0) or a value that overflows",
                            model.source, what, Shown(value)));
    };
    if (const auto& focei = result.focei) {
        check("-2LL", focei->minus2ll);
        for (const auto* estimates : {&focei->theta, &focei->omega, &focei->sigma})
            for (const estimation::Estimated& estimate : *estimates)
                check("estimate of " + estimate.name, estimate.value);
        return;
    }
    check("population objective", result.populationObjective);
    check("individual objective", result.individualObjective);
    for (std::size_t p = 0; p < result.values.population.size() && p < model.parameters.size(); ++p)
        check("value of " + model.parameters[p].name, result.values.population[p]);
}

}  // namespace tessuvan::cli
