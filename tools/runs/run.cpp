#include "runs/run.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "engine/engine_codes.h"
#include "fmt/format.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

constexpr double kObservationThreshold = TESSUVAN_OBSERVATION_THRESHOLD;  // tessuvan/tessuvan.h
constexpr int kCurvePointsPerIndividual = 100;

bool HasEstimate(const Model& model, std::initializer_list<Estimate> estimates)
{
    for (const ParameterSpec& parameter : model.parameters)
        for (Estimate estimate : estimates)
            if (parameter.estimate == estimate) return true;
    return false;
}

// Mean squared relative change of the estimated values between two sets.
double RelativeChange(const Model& model, const std::vector<double>& before, const std::vector<double>& after)
{
    double sum = 0;
    int count = 0;
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        if (model.parameters[p].estimate == Estimate::Fixed || before[p] == 0) continue;
        const double r = (after[p] - before[p]) / before[p];
        sum += r * r;
        ++count;
    }
    return count == 0 ? 0 : sum / count;
}

// The rows answered at each point: observations (with DV) and EVID 2 rows (without), each read
// from the engine output that answers it, in the data set's order within an individual.
std::vector<Observation> RequestsOf(const EngineProblem& problem,
                                    const std::vector<std::vector<PointPrediction>>& predictions, bool withDv)
{
    std::vector<Observation> rows;
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        const EngineIndividual& individual = problem.individuals[i];
        const std::size_t first = rows.size();
        for (std::size_t j = 0; j < individual.points.size(); ++j)
            for (const EngineRequest& request : individual.points[j].requests) {
                if ((request.dv > 0) != withDv || request.steadyState != 0) continue;
                Observation o;
                o.individual = i;
                o.line = request.line;
                o.output = problem.outputOf[request.slot];
                o.time = predictions[i][j].time;
                o.dv = request.dv;
                o.pred = predictions[i][j].population[request.slot];
                o.ipred = predictions[i][j].individual[request.slot];
                rows.push_back(o);
            }
        std::stable_sort(rows.begin() + long(first), rows.end(),
                         [](const Observation& a, const Observation& b) { return a.line < b.line; });
    }
    return rows;
}

// A steady state is reached when the predictions just before the last pre-dose and just before
// the steady-state dose agree: the amounts no longer change from one interval to the next.
constexpr double kSteadyStateTolerance = 1e-4;  // relative

void CheckSteadyStates(const EngineProblem& problem, const std::vector<std::vector<PointPrediction>>& predictions,
                       std::vector<std::string>& warnings)
{
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        // (dose line, engine output, population) -> (before the last pre-dose, before the dose)
        std::map<std::tuple<int, std::size_t, bool>, std::pair<double, double>> troughs;
        double worst = 0;
        int line = 0;
        const EngineIndividual& individual = problem.individuals[i];
        for (std::size_t j = 0; j < individual.points.size(); ++j)
            for (const EngineRequest& request : individual.points[j].requests) {
                if (request.steadyState == 0) continue;
                for (const bool population : {true, false}) {
                    auto& [before, at] = troughs[{request.line, request.slot, population}];
                    (request.steadyState == 1 ? before : at) =
                        (population ? predictions[i][j].population : predictions[i][j].individual)[request.slot];
                }
            }
        for (const auto& [key, pair] : troughs) {
            const double scale = std::max(std::abs(pair.first), std::abs(pair.second));
            const double change = scale > 0 ? std::abs(pair.second - pair.first) / scale : 0;
            if (!(change <= worst)) {
                worst = change;
                line = std::get<0>(key);
            }
        }
        if (!(worst <= kSteadyStateTolerance))
            warnings.push_back(fmt::format(
                "individual {}: the steady state of the dose on line {} is not reached at the final values (the "
                "prediction before the dose differs by {:.2g} relative from the one an interval earlier): give "
                "the earlier doses explicitly (ADDL with II)",
                individual.id, line, worst));
    }
}

std::vector<Observation> ObservationsOf(const EngineProblem& problem,
                                        const std::vector<std::vector<PointPrediction>>& predictions, double gamma)
{
    std::vector<Observation> observations = RequestsOf(problem, predictions, true);
    const double scale = WeightScale(observations, gamma);
    for (Observation& o : observations) {
        const double root = std::sqrt(scale * std::pow(o.dv, -gamma));
        o.wres = root * (o.dv - o.pred);
        o.iwres = root * (o.dv - o.ipred);
    }
    return observations;
}

std::vector<CurvePoint> Curves(const Model& model, const EngineProblem& problem, const ParameterValues& values)
{
    EngineProblem fine = problem;
    AddCurveGrid(fine, kCurvePointsPerIndividual);
    EngineSession session(model, fine, values);
    session.Load();
    session.Simulate();
    const auto predictions = session.ReadPredictions();
    std::vector<CurvePoint> curves;
    for (std::size_t i = 0; i < predictions.size(); ++i)
        for (const PointPrediction& point : predictions[i]) {
            CurvePoint curve;
            curve.individual = i;
            curve.time = point.time;
            // The model's outputs only: the copies that read amounts before a change are not curves.
            curve.pred.assign(point.population.begin(), point.population.begin() + long(model.outputs.size()));
            curve.ipred.assign(point.individual.begin(), point.individual.begin() + long(model.outputs.size()));
            curves.push_back(curve);
        }
    return curves;
}

}  // namespace

std::vector<CurvePoint> FineCurves(const Model& model, const EngineProblem& problem, const ParameterValues& values)
{
    return Curves(model, problem, values);
}

double WeightScale(const std::vector<Observation>& observations, double gamma)
{
    double logResiduals = 0, logObserved = 0;
    int n = 0;
    for (const Observation& o : observations) {
        if (!(o.dv > kObservationThreshold) || !(std::fabs(o.pred - o.dv) > kObservationThreshold)) continue;
        logResiduals += std::log((o.pred - o.dv) * (o.pred - o.dv));
        logObserved += std::log(o.dv);
        ++n;
    }
    return n > 0 ? std::exp((gamma * logObserved - logResiduals) / n) : 1.0;
}

RunResult StartingResult(const Model& model, const EngineProblem& problem, bool fit)
{
    RunResult result;
    result.fit = fit;
    result.warnings = problem.warnings;
    const std::size_t individuals = problem.individuals.size();
    result.initial = InitialValues(model, individuals);
    result.individualIterations.assign(individuals, 0);
    result.individualConverged.assign(individuals, false);
    return result;
}

RunResult RunEngine(const Model& model, const EngineProblem& problem, bool fit, const ProgressReport& progress)
{
    RunResult result = StartingResult(model, problem, fit);
    const std::size_t individuals = problem.individuals.size();

    {
        EngineSession session(model, problem, result.initial);
        progress("loading the model");
        session.Load();
        progress("simulating");
        session.Simulate();

        if (fit && !model.fit.allowNonFinite) {  // a fit from predictions that are not finite cannot succeed
            RunResult start;
            start.observations = ObservationsOf(problem, session.ReadPredictions(), model.fit.errorExponent);
            CheckPredictionsFinite(model, problem, start);
        }
        if (fit) {
            result.populationFitted = HasEstimate(model, {Estimate::PopulationAndIndividual, Estimate::PopulationOnly});
            if (result.populationFitted) {
                std::vector<double> before = session.Values().population;
                while (result.populationIterations < model.fit.populationIterations && !result.populationConverged) {
                    result.populationConverged = session.PopulationIteration();
                    ++result.populationIterations;
                    const std::vector<double> after = session.Values().population;
                    progress(fmt::format("population iteration {:>3}  objective {:<12.6g} change {:.3g}",
                                         result.populationIterations, session.PopulationObjective(),
                                         RelativeChange(model, before, after)));
                    before = after;
                }
                if (!result.populationConverged)
                    result.warnings.push_back(fmt::format(
                        "the population fit did not converge within {} iterations (fit.population_iterations); "
                        "no standard errors",
                        model.fit.populationIterations));
            }
            result.individualsFitted =
                HasEstimate(model, {Estimate::PopulationAndIndividual, Estimate::IndividualOnly});
            if (result.individualsFitted) {
                for (std::size_t i = 0; i < individuals; ++i) {
                    const int number = int(i + 1);
                    while (result.individualIterations[i] < model.fit.individualIterations &&
                           !result.individualConverged[i]) {
                        result.individualConverged[i] = session.IndividualIteration(number);
                        ++result.individualIterations[i];
                        progress(fmt::format("individual {} ({}/{})  iteration {:>3}  objective {:.6g}",
                                             problem.individuals[i].id, number, individuals,
                                             result.individualIterations[i], session.IndividualObjective(number)));
                    }
                    if (!result.individualConverged[i])
                        result.warnings.push_back(
                            fmt::format("the fit of individual {} did not converge within {} iterations "
                                        "(fit.individual_iterations)",
                                        problem.individuals[i].id, model.fit.individualIterations));
                }
            }
            progress("final simulation");
            // The standard errors are handed back only by the population fit; keep them.
            const std::vector<double> standardErrors = session.Values().standardErrors;
            session.Simulate();
            result.values = session.Values();
            result.values.standardErrors =
                result.populationConverged ? standardErrors : std::vector<double>(standardErrors.size(), 0.0);
        } else {
            result.values = session.Values();
            result.values.standardErrors.assign(model.parameters.size(), 0.0);
        }
        result.populationObjective = session.PopulationObjective();
        result.individualObjective = session.IndividualObjectiveTotal();
        result.priorPenalty = session.PriorPenalty();
        for (std::size_t i = 0; i < individuals; ++i)
            result.individualObjectives.push_back(session.IndividualObjective(int(i + 1)));
        const auto predictions = session.ReadPredictions();
        result.observations = ObservationsOf(problem, predictions, model.fit.errorExponent);
        result.predictedRows = RequestsOf(problem, predictions, false);
        CheckSteadyStates(problem, predictions, result.warnings);
    }

    progress("drawing the curves");
    try {
        result.curves = Curves(model, problem, result.values);
    } catch (const EngineError& error) {
        result.warnings.push_back(std::string("no curves: ") + error.what());
    }
    return result;
}

}  // namespace tessuvan::cli
