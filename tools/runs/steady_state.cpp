#include "runs/steady_state.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <tuple>

#include "data/steady_state_trains.h"
#include "fmt/format.h"

namespace tessuvan::cli {

namespace {

// The most earlier doses a steady state is given: beyond every build's interrupts.
constexpr int kMostPreDoses = 100000;
constexpr std::size_t kIndividualsPerSimulation = 100;

ParameterValues ValuesFor(const Model& model, const EngineProblem& problem, const ParameterValues& values)
{
    if (values.individual.size() == problem.individuals.size() && !values.population.empty()) return values;
    return InitialValues(model, problem.individuals.size());
}

// The troughs c₀, c₁, c₂ after N, N/2 and N/4 doses of a doubled train (data/steady_state_trains.h).
// For one mode settling by r per interval, with ρ = r^(N/4): c₂ = z(1 − ρ), c₁ = z(1 − ρ²),
// c₀ = z(1 − ρ⁴), so (c₁ − c₂)/c₁ = ρ/(1 + ρ), (c₀ − c₁)/c₀ = ρ²/(1 + ρ²), and c₀ is ρ⁴ from
// its limit z. The larger of the two estimates of ρ is taken (an early faster mode makes the
// first one larger still); the count that reaches the tolerance follows from r.
void CheckDoubled(const std::string& individual, int line, const std::array<double, 3>& c, int count,
                  SteadyStateCheck& check)
{
    if (c[0] == c[1] && c[1] == c[2]) return;
    const int given = DoubledTrainOf(count).Count();
    auto settled = [](double change, double trough) {  // δ/(1 − δ) for δ = |change/trough| < 1/2
        const double delta = std::abs(change) / std::abs(trough);
        return std::isfinite(delta) && delta < 0.5 ? delta / (1 - delta) : 1.0;
    };
    const double rho = std::max(settled(c[1] - c[2], c[1]), std::sqrt(settled(c[0] - c[1], c[0])));
    const double distance = rho < 1 ? std::pow(rho, 4) : 1;
    if (distance <= kSteadyStateTolerance) return;
    long wanted = 2L * given;  // no settling measured: double the count
    if (rho > 0 && rho < 1) {
        const double r = std::pow(rho, 4.0 / given);  // per interval
        check.next.ratios[line] = r;
        wanted = std::max(wanted / 2 + 1, long(std::ceil(std::log(kSteadyStateTolerance) / std::log(r))) + 2);
    }
    if (distance > check.distance || check.line == 0) {
        check.individual = individual;
        check.line = line;
        check.distance = distance;
    }
    check.reached = false;
    int& next = check.next.byLine[line];
    next = std::max({next, count, int(std::min<long>(kMostPreDoses, wanted))});
}

}  // namespace

bool HasSteadyStates(const EngineProblem& problem)
{
    for (const EngineIndividual& individual : problem.individuals)
        for (const EnginePoint& point : individual.points)
            for (const EngineRequest& request : point.requests)
                if (request.steadyState != 0) return true;
    return false;
}

SteadyStateCheck CheckSteadyStates(const Model& model, const EngineProblem& problem, const ParameterValues& values,
                                   const PreDoses& preDoses)
{
    SteadyStateCheck check;
    check.next = preDoses;
    if (!HasSteadyStates(problem)) return check;
    // Simulated in blocks, as the estimation's engine states hold them.
    const ParameterValues all = ValuesFor(model, problem, values);
    std::vector<std::vector<PointPrediction>> predictions;
    for (std::size_t first = 0; first < problem.individuals.size(); first += kIndividualsPerSimulation) {
        const std::size_t end = std::min(problem.individuals.size(), first + kIndividualsPerSimulation);
        EngineProblem block = problem;
        block.individuals.assign(problem.individuals.begin() + long(first), problem.individuals.begin() + long(end));
        ParameterValues blockValues = all;
        blockValues.individual.assign(all.individual.begin() + long(first), all.individual.begin() + long(end));
        EngineSession session(model, block, blockValues);
        session.Load();
        session.Simulate();
        for (auto& points : session.ReadPredictions(false)) predictions.push_back(std::move(points));
    }
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        const EngineIndividual& individual = problem.individuals[i];
        // (dose line, model output, population, doubled) -> troughs [c₀, c₁, c₂]
        std::map<std::tuple<int, std::size_t, bool, bool>, std::array<double, 3>> troughs;
        for (std::size_t j = 0; j < individual.points.size(); ++j)
            for (const EngineRequest& request : individual.points[j].requests) {
                if (request.steadyState == 0) continue;
                const bool doubled = request.steadyState > 3;
                for (const bool population : {true, false})
                    troughs[{request.line, problem.outputOf[request.slot], population, doubled}]
                           [std::size_t(request.steadyState - (doubled ? 4 : 1))] =
                               (population ? predictions[i][j].population : predictions[i][j].individual)[request.slot];
            }
        for (const auto& [key, c] : troughs) {
            const int line = std::get<0>(key);
            if (std::get<3>(key)) {
                CheckDoubled(individual.id, line, c, preDoses.Of(line), check);
                continue;
            }
            const double scale = std::abs(c[0]);
            const double d0 = c[0] - c[1], d1 = c[1] - c[2];
            if (std::abs(d0) <= 1e-14 * scale || (scale == 0 && d0 == 0 && d1 == 0)) continue;
            const double r = d1 != 0 ? d0 / d1 : 2;
            const int count = preDoses.Of(line);
            const double change = std::abs(d0) / std::max(scale, 1e-300);  // over the last interval
            double distance = change;
            int more = count;  // no settling measured: double the count
            const auto known = preDoses.ratios.find(line);
            // A count already extrapolated from a ratio measured earlier, whose change is now at
            // the level of the integration's own error, is what that ratio says reaches the
            // tolerance: a smaller change cannot be measured.
            if (known != preDoses.ratios.end() && change <= 10 * model.fit.precision) continue;
            if (std::isfinite(r) && r >= 0 && r < 1) {
                check.next.ratios[line] = r;
                distance = change * r / (1 - r);
            } else if (known != preDoses.ratios.end()) {
                // The change is at the level of the integration's rounding; the ratio measured
                // at the earlier count bounds what is left.
                distance = change * known->second / (1 - known->second);
            } else if (change <= kSteadyStateTolerance) {
                continue;  // settled to within the integration's rounding from the first count
            }
            if (distance <= kSteadyStateTolerance) continue;
            const double ratio = std::isfinite(r) && r >= 0 && r < 1 ? r
                                 : known != preDoses.ratios.end()    ? known->second
                                                                     : 0;
            if (ratio > 0)
                more = int(std::ceil(std::log(kSteadyStateTolerance / distance) / std::log(ratio))) + 2;
            else if (ratio == 0 && std::isfinite(r) && r == 0)
                more = 2;
            if (!std::isfinite(distance) || distance > check.distance || check.line == 0) {
                check.individual = individual.id;
                check.line = line;
                check.distance = std::isfinite(distance) ? distance : 1;
            }
            check.reached = false;
            int& next = check.next.byLine[line];
            next = std::max({next, count, int(std::min<long>(kMostPreDoses, long(count) + std::max(more, 2)))});
        }
    }
    return check;
}

EngineProblem SteadyStateProblem(const Model& model, const DataSet& data, CensoredRows censored,
                                 const ParameterValues& values, PreDoses& preDoses)
{
    EngineProblem problem = BuildEngineProblem(model, data, censored, preDoses);
    for (int round = 0; HasSteadyStates(problem); ++round) {
        const SteadyStateCheck check = CheckSteadyStates(model, problem, values, preDoses);
        if (check.reached) break;
        const int count = preDoses.Of(check.line), wanted = check.next.Of(check.line);
        const std::string where = fmt::format(
            "individual {}: the steady state of the dose on line {} is not reached within the engine's limits ({} "
            "doses every II before it leave its trough {:.2g} relative from the limit; {} would be needed)",
            check.individual, check.line, count, check.distance, wanted);
        if (round == kSteadyStateRounds || wanted >= kMostPreDoses)
            throw DataError(data.Where(check.line, data.steadyStateColumn, "SS") + ": " + where);
        try {
            problem = BuildEngineProblem(model, data, censored, check.next);
        } catch (const DataError& error) {
            throw DataError(data.Where(check.line, data.steadyStateColumn, "SS") + ": " + where + ": " + error.what());
        }
        preDoses = check.next;
    }
    return problem;
}

EngineProblem DrawnSteadyStateProblem(const Model& model, const DataSet& data, CensoredRows censored)
{
    PreDoses preDoses;
    EngineProblem problem = SteadyStateProblem(model, data, censored, {}, preDoses);
    if (!HasSteadyStates(problem)) return problem;
    preDoses.first *= 2;
    for (auto& [line, count] : preDoses.byLine) count *= 2;
    try {
        return BuildEngineProblem(model, data, censored, preDoses);
    } catch (const DataError&) {
        return problem;  // the engine's limits leave no room for the margin
    }
}

}  // namespace tessuvan::cli
