#include "runs/run_focei.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "engine/engine_adapter.h"
#include "engine/engine_codes.h"
#include "estimation/log_predictions.h"
#include "fmt/format.h"
#include "model/population_of.h"

namespace tessuvan::cli {

namespace {

// Individuals per engine state of the estimation: blocks of 100, the size the estimation was
// checked with (within the capacity of every build).
constexpr std::size_t kIndividualsPerState = 100;

// The observations of an individual in the order of the result tables: point by point, output
// by output, the positive values (the engine weighs nothing else), then the censored ones of
// that output there (the engine does not weigh them; the estimation does, by the M3 method)
// and those at or below 0 (the estimation weighs them as any other), those with their request.
template <typename Visit>
void ForEachObservation(const EngineIndividual& individual, Visit visit)
{
    for (std::size_t j = 0; j < individual.points.size(); ++j)
        for (std::size_t k = 0; k < individual.points[j].observed.size(); ++k) {
            if (individual.points[j].observed[k] > 0) visit(j, k, nullptr);
            for (const EngineRequest& request : individual.points[j].requests)
                if ((request.censored != 0 || request.nonPositive) && request.slot == k) visit(j, k, &request);
        }
}

}  // namespace

estimation::FoceiProblem FoceiProblemOf(const Model& model, const EngineProblem& problem)
{
    std::vector<std::string> names;
    for (const ParameterSpec& parameter : model.parameters) names.push_back(parameter.name);
    estimation::FoceiProblem focei = estimation::FoceiProblemOf(PopulationOf(model), names);
    for (const ParameterSpec& parameter : model.parameters) focei.values.push_back(parameter.value);
    const bool perOutput = focei.errors.size() > 1;
    for (const EngineIndividual& individual : problem.individuals) {
        std::vector<double> y, limit;
        std::vector<int> kind, error;
        ForEachObservation(individual, [&](std::size_t j, std::size_t k, const EngineRequest* censored) {
            const int e = perOutput ? int(problem.outputOf[k]) : 0;
            // An exponential error weighs ln y about ln f (the limits of a censored value likewise).
            const bool logged = focei.errors[std::size_t(e)].value.exponential;
            const auto scaled = [&](double value) { return logged ? std::log(value) : value; };
            y.push_back(scaled(censored ? censored->bound : individual.points[j].observed[k]));
            kind.push_back(censored ? censored->censored : 0);
            limit.push_back(censored ? scaled(censored->limit) : std::nan(""));
            error.push_back(e);
        });
        focei.observed.push_back(Eigen::Map<Eigen::VectorXd>(y.data(), Eigen::Index(y.size())));
        estimation::Censoring censoring;
        if (std::any_of(kind.begin(), kind.end(), [](int c) { return c != 0; })) {
            censoring.kind = Eigen::Map<Eigen::VectorXi>(kind.data(), Eigen::Index(kind.size()));
            censoring.limit = Eigen::Map<Eigen::VectorXd>(limit.data(), Eigen::Index(limit.size()));
        }
        if (perOutput) censoring.error = Eigen::Map<Eigen::VectorXi>(error.data(), Eigen::Index(error.size()));
        focei.censoring.push_back(censoring);
    }
    return focei;
}

void LoadEngineStates(const Model& model, const EngineProblem& problem, EngineStates& states)
{
    const std::size_t individuals = problem.individuals.size();
    for (std::size_t first = 0; first < individuals; first += kIndividualsPerState) {
        EngineProblem block = problem;
        block.individuals.assign(
            problem.individuals.begin() + long(first),
            problem.individuals.begin() + long(std::min(individuals, first + kIndividualsPerState)));
        states.blocks.push_back(std::move(block));
    }
    for (std::size_t b = 0; b < states.blocks.size(); ++b) {
        const EngineProblem& block = states.blocks[b];
        states.sessions.push_back(
            std::make_unique<EngineSession>(model, block, InitialValues(model, block.individuals.size())));
        estimation::EngineBlock records = states.sessions.back()->Block();
        for (const EngineIndividual& individual : block.individuals) {
            std::vector<estimation::ObservationSlot> slots;
            ForEachObservation(individual, [&](std::size_t j, std::size_t k, const EngineRequest*) {
                slots.push_back({int(j + 1), int(k + 1)});
            });
            records.observations.push_back(slots);
        }
        if (const int code = states.simulator.Load(records); code != 0) throw EngineError(EngineStage::Load, code);
    }
}

RunResult RunFocei(const Model& model, const EngineProblem& problem, const ProgressReport& progress)
{
    RunResult result = StartingResult(model, problem, true);
    const std::size_t individuals = problem.individuals.size();
    result.individualObjectives.assign(individuals, 0.0);

    progress("loading the model");
    EngineStates states;
    LoadEngineStates(model, problem, states);
    estimation::EngineSimulator& simulator = states.simulator;

    // The estimation differentiates the predictions by differences: CHU-BERMAN's are not smooth
    // in the parameters at its usual precision (at 1e-6 the derivatives carry 3e-3 at best).
    if (model.fit.method == "CHU-BERMAN" && model.fit.precision > 1e-9)
        result.warnings.push_back(fmt::format(
            "FOCEI with CHU-BERMAN at precision {:g}: its derivatives are accurate to about 3e-3 only, which can "
            "stall or bias the estimation; RUNGE-KUTTA QC at precision 1e-6 or finer gives about 1e-6",
            model.fit.precision));
    const estimation::FoceiProblem focei = FoceiProblemOf(model, problem);
    // One individual carries no information on the spread between individuals: its estimated
    // variances go to their lower bound, where the mode is η = 0 and IPRED is PRED.
    const bool omegaEstimated = std::any_of(focei.etas.begin(), focei.etas.end(), [&](const auto& eta) {
        return !eta.fixed && (eta.block < 0 || !focei.blocks[std::size_t(eta.block)].fixed);
    });
    if (individuals == 1 && omegaEstimated)
        result.warnings.push_back(
            "one individual: its between-subject variances cannot be estimated (they end near 0, and IPRED equals "
            "PRED); fix the omegas at values known from a population, or fit with estimation = \"pooled\"");
    estimation::FoceiOptions options;
    options.progress = [&](int evaluation, double minus2ll) {
        progress(fmt::format("FOCEI evaluation {:>4}  -2LL {:.6f}", evaluation, minus2ll));
    };
    estimation::LogPredictions logged(simulator, estimation::LoggedObservations(focei));
    auto estimate = std::make_shared<estimation::FoceiResult>(estimation::EstimateFocei(focei, logged, options));
    const estimation::FoceiResult& fit = *estimate;
    if (!std::isfinite(fit.minus2ll)) throw EngineError(EngineStage::Simulation, simulator.LastCode());
    if (!estimation::Converged(fit.status))
        result.warnings.push_back("the population estimation did not converge: " + fit.summary);
    for (const std::string& name : fit.atSearchEdge)
        result.warnings.push_back(name +
                                  " ended at an edge of the search (a typical value is searched within a factor "
                                  "20 of its start, a variance up to 25): the value is no optimum; start nearer "
                                  "to it");
    if (options.covariance && !fit.covarianceDone)
        result.warnings.push_back("no standard errors: " + fit.covarianceMessage);
    else if (!fit.atBound.empty())
        result.warnings.push_back("standard errors conditional on " + fit.covarianceMessage);

    // The tables' values: typical values (the model's others as they are) and individual values.
    result.values = InitialValues(model, individuals);
    for (std::size_t p = 0; p < model.parameters.size(); ++p)
        if (fit.typicalValues.size() == Eigen::Index(model.parameters.size()))
            result.values.population[p] = fit.typicalValues[Eigen::Index(p)];
    for (const estimation::Estimated& theta : fit.theta)
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            if (model.parameters[p].name == theta.name) {
                result.values.population[p] = theta.value;
                result.values.standardErrors[p] = std::isfinite(theta.se) ? theta.se : 0.0;
            }
    for (std::size_t i = 0; i < individuals; ++i)
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            result.values.individual[i][p] = fit.values[i][Eigen::Index(p)];
    result.populationFitted = true;
    result.populationConverged = estimation::Converged(fit.status);
    result.populationIterations = fit.evaluations;

    // The final residual errors, [error model].
    std::vector<estimation::ResidualError> finalErrors;
    for (const estimation::FoceiProblem::Error& error : focei.errors) finalErrors.push_back(error.value);
    for (const estimation::Estimated& sigma : fit.sigma) {
        const std::size_t colon = sigma.name.find(':');
        const std::string output = colon == std::string::npos ? "" : sigma.name.substr(0, colon);
        const std::string term = colon == std::string::npos ? sigma.name : sigma.name.substr(colon + 1);
        for (std::size_t e = 0; e < focei.errors.size(); ++e)
            if (focei.errors[e].output == output)
                (term == "proportional" ? finalErrors[e].proportional : finalErrors[e].additive) = sigma.value;
    }
    for (std::size_t i = 0; i < individuals; ++i) {
        const EngineIndividual& individual = problem.individuals[i];
        Eigen::Index o = 0;
        ForEachObservation(individual, [&](std::size_t j, std::size_t k, const EngineRequest* censored) {
            Observation observation;
            observation.individual = i;
            for (const EngineRequest& request : individual.points[j].requests)
                if (request.slot == k && request.dv > 0) observation.line = request.line;
            if (censored) observation.line = censored->line;
            observation.censored = censored ? censored->censored : 0;
            observation.output = problem.outputOf[k];
            observation.time = individual.points[j].time;
            observation.dv = censored ? censored->bound : individual.points[j].observed[k];
            const estimation::ResidualError& finalError = finalErrors[focei.censoring[i].ErrorOf(o)];
            // An exponential error's predictions were ln f: the tables give f (its residuals stay
            // those of ln y).
            const auto natural = [&](double value) { return finalError.exponential ? std::exp(value) : value; };
            observation.pred = natural(fit.pred[i][o]);
            observation.ipred = natural(fit.ipred[i][o]);
            observation.iwres = fit.iwres[i][o];
            observation.cwres = fit.cwres[i][o];
            // WRES: the population residual over the residual SD at PRED (of ln y for an exponential
            // error); none of a censored value.
            observation.wres = observation.censored != 0 ? std::nan("")
                               : finalError.exponential  ? (focei.observed[i][o] - fit.pred[i][o]) / finalError.additive
                                                         : (observation.dv - observation.pred) /
                                                              std::sqrt(finalError.Variance(observation.pred));
            result.observations.push_back(observation);
            ++o;
        });
    }
    result.focei = estimate;

    // The fine curves, block by block of individuals (one engine state holds kIndividualsPerState).
    progress("drawing the curves");
    try {
        for (std::size_t first = 0; first < individuals; first += kIndividualsPerState) {
            const std::size_t last = std::min(individuals, first + kIndividualsPerState);
            EngineProblem block = problem;
            block.individuals.assign(problem.individuals.begin() + long(first),
                                     problem.individuals.begin() + long(last));
            ParameterValues values = result.values;
            values.individual.assign(result.values.individual.begin() + long(first),
                                     result.values.individual.begin() + long(last));
            for (CurvePoint& point : FineCurves(model, block, values)) {
                point.individual += first;
                result.curves.push_back(std::move(point));
            }
        }
    } catch (const EngineError& error) {
        result.curves.clear();
        result.warnings.push_back(std::string("no curves: ") + error.what());
    }
    return result;
}

}  // namespace tessuvan::cli
