#include "engine/engine_input.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "data/events.h"
#include "engine/species_layout.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

// The capacities of the engine the program loads (the large build: see tessuvan_build.h).
constexpr int kMaxIndividuals = MaxIndividuals;
constexpr int kMaxInterrupts = MaxInterrupts;
constexpr int kMaxPoints = MaxPoints;
constexpr int kMaxSpecies = MaxSpecies;
constexpr int kMaxOutputs = MaxOutputs;
constexpr int kMaxPParameters = MaxPParameters;

// The species a change sets (infusion rates are never read by outputs, so they are left out).
std::vector<int> SpeciesChanged(const Event& event, const SpeciesLayout& layout)
{
    switch (event.kind) {
        case EventKind::Bolus:
            return {layout.SpeciesOf(event.shadow, event.compartment)};
        case EventKind::Reset:
        case EventKind::Transfer: {
            std::vector<int> all;
            for (int s = 1; s <= layout.compartments; ++s) all.push_back(s);
            for (int s = 1; event.kind == EventKind::Transfer && s <= layout.compartments; ++s)
                all.push_back(layout.SpeciesOf(event.shadow, s));
            return all;
        }
        case EventKind::Doubling:
        case EventKind::Settle: {
            std::vector<int> both;
            for (int s = 1; s <= layout.compartments; ++s)
                both.insert(both.end(), {layout.SpeciesOf(-event.hold, s), layout.SpeciesOf(event.shadow, s)});
            return both;
        }
        case EventKind::Identity:
        case EventKind::Solve: {
            std::vector<int> all;
            for (int j = 0; j < layout.compartments; ++j)
                for (int s = 1; s <= layout.compartments; ++s) all.push_back(layout.SpeciesOf(event.shadow + j, s));
            for (int s = 1; event.kind == EventKind::Solve && s <= layout.compartments; ++s)
                all.push_back(layout.SpeciesOf(-event.hold, s));
            return all;
        }
        case EventKind::TransferHeld: {
            std::vector<int> all;
            for (int s = 1; s <= layout.compartments; ++s) all.push_back(s);
            return all;
        }
        case EventKind::CovariateStep: {
            const auto found = layout.covariateSpecies.find(event.covariate);
            if (found == layout.covariateSpecies.end()) return {};
            return {found->second};
        }
        default:
            return {};
    }
}

struct IndividualBuild {
    const Model& model;
    const DataSet& data;
    SpeciesLayout& layout;
    const IndividualEvents& events;
    EngineIndividual& out;

    // The state the interrupt formulas build on.
    std::vector<std::string> amounts;  // [species - 1] of the compartments and shadows
    std::map<int, std::pair<std::pair<int, int>, std::string>> running;  // infusion -> ((shadow, cmt), rate)
    std::vector<double> covariates;                                      // [q]

    std::size_t Slot(std::size_t output, std::set<int> before, int shadow)
    {
        // Only the species the output reads matter.
        const std::string text = layout.ShadowText(layout.outputTexts[output], shadow);
        std::erase_if(before, [&](int s) { return layout.ViewText(text, {s}) == text; });
        const auto key = SpeciesLayout::SlotKey{output, before, shadow};
        const auto found = layout.slots.find(key);
        if (found != layout.slots.end()) return found->second;
        const std::size_t slot = layout.slotViews.size();
        layout.slots[key] = slot;
        layout.slotViews.push_back(key);
        return slot;
    }

    void Apply(const Event& event)
    {
        switch (event.kind) {
            case EventKind::Bolus: {
                std::string& amount = amounts[std::size_t(layout.SpeciesOf(event.shadow, event.compartment) - 1)];
                amount = amount == "0" ? event.amount : amount + "+" + event.amount;
                break;
            }
            case EventKind::InfusionStart:
                running[event.infusion] = {{event.shadow, event.compartment}, event.amount};
                break;
            case EventKind::InfusionEnd:
                running.erase(event.infusion);
                break;
            case EventKind::Reset:
                std::fill(amounts.begin(), amounts.begin() + layout.compartments, "0");
                std::erase_if(running, [](const auto& infusion) { return infusion.second.first.first == 0; });
                break;
            case EventKind::Transfer:
                for (int s = 1; s <= layout.compartments; ++s) {
                    std::string& amount = amounts[std::size_t(s - 1)];
                    std::string& held = amounts[std::size_t(layout.SpeciesOf(event.shadow, s) - 1)];
                    if (held != "0") amount = amount == "0" ? held : amount + "+" + held;
                    held = "0";
                }
                for (auto& [id, infusion] : running)
                    if (infusion.first.first == event.shadow) infusion.first.first = 0;
                break;
            case EventKind::Doubling:
            case EventKind::Settle:
                // The held set is set first (engine order: held sets before shadows), so the
                // shadow's formula reads the new sum there.
                for (int s = 1; s <= layout.compartments; ++s) {
                    const int held = layout.SpeciesOf(-event.hold, s);
                    std::string& amount = amounts[std::size_t(held - 1)];
                    std::string& shadow = amounts[std::size_t(layout.SpeciesOf(event.shadow, s) - 1)];
                    amount = Sum(amount, shadow);
                    shadow = event.kind == EventKind::Settle ? "0" : "F" + std::to_string(held);
                }
                break;
            case EventKind::Identity:
            case EventKind::Solve:
                if (event.kind == EventKind::Solve) Solve(event);
                for (int j = 0; j < layout.compartments; ++j)
                    for (int s = 1; s <= layout.compartments; ++s)
                        amounts[std::size_t(layout.SpeciesOf(event.shadow + j, s) - 1)] =
                            event.kind == EventKind::Identity && s == j + 1 ? "1" : "0";
                break;
            case EventKind::TransferHeld:
                for (int s = 1; s <= layout.compartments; ++s) {
                    const std::string& held = amounts[std::size_t(layout.SpeciesOf(-event.hold, s) - 1)];
                    std::string& amount = amounts[std::size_t(s - 1)];
                    if (held != "0")
                        amount = Sum(amount, event.value == 1 ? held : NumberText(event.value) + "*(" + held + ")");
                }
                break;
            case EventKind::CovariateStep:
                covariates[event.covariate] = event.value;
                break;
            default:
                break;
        }
    }

    // The held set of a Solve: z = (I − Φ)⁻¹·Φ·D, Φ[s][j] the amount of compartment s in the
    // shadow that started from e_j (steady_state_trains.h), for one or two compartments. The
    // held set is set before the shadows (engine order), so it reads them as they were.
    void Solve(const Event& event)
    {
        auto phi = [&](int s, int j) { return "F" + std::to_string(layout.SpeciesOf(event.shadow + j - 1, s)); };
        const std::string dose = "(" + event.amount + ")";
        auto held = [&](int s) -> std::string& { return amounts[std::size_t(layout.SpeciesOf(-event.hold, s) - 1)]; };
        const int c = event.compartment;
        if (layout.compartments == 1) {
            held(1) = dose + "*" + phi(1, 1) + "/(1-" + phi(1, 1) + ")";
            return;
        }
        const std::string a = phi(1, 1), b = phi(1, 2), g = phi(2, 1), d = phi(2, 2);
        const std::string w1 = dose + "*" + phi(1, c), w2 = dose + "*" + phi(2, c);
        const std::string det = "((1-" + a + ")*(1-" + d + ")-" + b + "*" + g + ")";
        held(1) = "((1-" + d + ")*" + w1 + "+" + b + "*" + w2 + ")/" + det;
        held(2) = "(" + g + "*" + w1 + "+(1-" + a + ")*" + w2 + ")/" + det;
    }

    static std::string Sum(const std::string& a, const std::string& b)
    {
        if (b == "0") return a;
        return a == "0" ? b : a + "+" + b;
    }

    // The formulas of a new interrupt from the state reached; then amounts are relative again.
    void StartInterrupt(int line)
    {
        if (int(out.startFormulas.size()) == kMaxInterrupts)
            throw DataError(data.Where(line, 0, "") + ": individual " + out.id + " needs more than " +
                            std::to_string(kMaxInterrupts) +
                            " interrupts, the most the engine holds (each time at which a dose is given, an "
                            "infusion starts or ends, or a covariate changes starts one): split the record into "
                            "several individuals, or leave out doses long before the observations");
        std::vector<std::string> formulas(std::size_t(layout.speciesCount()));
        for (int s = 1; s <= layout.compartments; ++s)
            for (int j = -layout.holdSets; j <= layout.shadowSets; ++j) {
                const int species = layout.SpeciesOf(j, s);
                formulas[std::size_t(species - 1)] = amounts[std::size_t(species - 1)];
            }
        for (const auto& [target, species] : layout.rateSpecies) {
            std::string sum;
            for (const auto& [id, infusion] : running)
                if (infusion.first == target) sum += (sum.empty() ? "" : "+") + infusion.second;
            formulas[std::size_t(species - 1)] = sum.empty() ? "0" : sum;
        }
        for (const auto& [q, species] : layout.covariateSpecies)
            formulas[std::size_t(species - 1)] = NumberText(covariates[q]);
        out.startFormulas.push_back(formulas);
        for (int s = 1; s <= layout.compartments; ++s)
            for (int j = -layout.holdSets; j <= layout.shadowSets; ++j) {
                const int species = layout.SpeciesOf(j, s);
                amounts[std::size_t(species - 1)] = "F" + std::to_string(species);
            }
    }

    void Build()
    {
        const std::vector<Event>& all = events.events;
        amounts.assign(std::size_t(layout.speciesCount()), "0");
        covariates = events.firstCovariates;
        out.covariates = events.firstCovariates;

        // Nothing after the last request is observed.
        std::size_t used = 0;
        for (std::size_t e = 0; e < all.size(); ++e)
            if (!all[e].ChangesState()) used = e + 1;

        int interrupt = 0;
        for (std::size_t begin = 0; begin < used;) {
            std::size_t end = begin;
            while (end < used && all[end].time == all[begin].time) ++end;
            const bool changes = std::any_of(all.begin() + long(begin), all.begin() + long(end),
                                             [](const Event& e) { return e.ChangesState(); });
            EnginePoint point;
            point.time = all[begin].time;
            for (std::size_t r = begin; r < end; ++r) {
                const Event& request = all[r];
                if (request.ChangesState()) continue;
                // Species this request reads as they were before this time's changes.
                std::set<int> before;
                std::set<int> changedBefore, changedAfter;
                for (std::size_t c = begin; c < end; ++c)
                    for (int s : SpeciesChanged(all[c], layout)) (c < r ? changedBefore : changedAfter).insert(s);
                for (int s : changedAfter) {
                    if (changedBefore.count(s) != 0)
                        throw DataError(data.Where(request.line, 0, "") +
                                        ": this row lies between two changes of the same amount at time " +
                                        NumberText(request.time) +
                                        " (doses, resets or covariate steps); move it before or after both");
                    before.insert(s);
                }
                if (begin == 0 && interrupt == 0)
                    for (int s : before)
                        for (const auto& [q, species] : layout.covariateSpecies)
                            if (s == species) interrupt = -1;  // the copies need an interrupt before
                EngineRequest answer;
                answer.slot = Slot(request.output, before, request.hold != 0 ? -request.hold : request.shadow);
                answer.line = request.line;
                const bool weighed =
                    request.kind == EventKind::Observe && request.censored == 0 && !request.nonPositive;
                answer.dv = weighed ? request.dv : 0;
                answer.nonPositive = request.nonPositive;
                if (request.kind == EventKind::Observe && (request.censored != 0 || request.nonPositive)) {
                    answer.censored = request.censored;
                    answer.bound = request.dv;
                    answer.limit = request.limit;
                }
                answer.steadyState = request.steadyState;
                point.requests.push_back(answer);
            }
            if (interrupt == -1) {  // the initial values first, the changes at the same point next
                StartInterrupt(all[begin].line);
                interrupt = 1;
            }
            for (std::size_t c = begin; c < end; ++c)
                if (all[c].ChangesState()) Apply(all[c]);
            if (begin == 0 || changes) {
                StartInterrupt(all[begin].line);
                ++interrupt;
            }
            point.interrupt = interrupt;
            if (!std::isfinite(point.time))  // a dose given every II, or an infusion's end, beyond the singles
                throw DataError(data.Where(all[begin].line, 0, "") + ": individual " + out.id +
                                " reaches a time beyond the largest 32-bit float (3.4e+38), the engine's type for "
                                "times");
            out.points.push_back(point);
            begin = end;
        }
        // The final point needs a successor when an interrupt begins there.
        const bool endsWithChange =
            out.points.size() >= 2 && out.points.back().interrupt != out.points[out.points.size() - 2].interrupt;
        if (out.points.size() == 1 || endsWithChange) {
            EnginePoint padding;
            const double time = out.points.back().time;
            padding.time = AsStored(time + std::max(1e-3, std::abs(time) * 1e-3));
            if (!std::isfinite(padding.time))
                throw DataError(data.Where(all[used - 1].line, 0, "") + ": individual " + out.id +
                                "'s last time leaves no room for a later point within the 32-bit floats of the "
                                "engine's times");
            padding.interrupt = interrupt;
            padding.extra = true;
            out.points.push_back(padding);
        }
        if (int(out.points.size()) > kMaxPoints)
            throw DataError(data.Where(all[used - 1].line, 0, "") + ": individual " + out.id + " has " +
                            std::to_string(out.points.size()) + " distinct times, more than the " +
                            std::to_string(kMaxPoints) + " points the engine can hold");
    }
};

}  // namespace

int EngineProblem::PointCount() const
{
    int count = 0;
    for (const EngineIndividual& individual : individuals) count += int(individual.points.size());
    return count;
}

EngineProblem BuildEngineProblem(const Model& model, const DataSet& data, CensoredRows censoredRows,
                                 const PreDoses& preDoses)
{
    // Rows grouped by individual, each individual's rows together.
    std::vector<std::string> order;
    std::map<std::string, std::vector<const DataRow*>> rowsOf;
    std::string current;
    for (const DataRow& row : data.rows) {
        if (order.empty() || row.id != current) {
            if (rowsOf.count(row.id) != 0)
                throw DataError(data.Where(row.line, 0, "") + ": the rows of individual " + row.id +
                                " must be together (it appeared before, on line " +
                                std::to_string(rowsOf[row.id].front()->line) + ")");
            order.push_back(row.id);
            current = row.id;
        }
        rowsOf[row.id].push_back(&row);
    }

    EngineProblem problem;
    problem.warnings = data.warnings;
    std::vector<IndividualEvents> events;
    int censored = 0, nonPositive = 0;
    SpeciesLayout layout;
    layout.compartments = int(model.compartments.size());
    int nonPositiveLine = 0;
    const ErrorSpec* nonPositiveError = nullptr;
    for (const std::string& id : order) {
        events.push_back(EventsOf(model, data, rowsOf[id], preDoses, censoredRows));
        censored += events.back().censoredRows;
        nonPositive += events.back().nonPositiveRows;
        layout.shadowSets = std::max(layout.shadowSets, events.back().shadows);
        layout.holdSets = std::max(layout.holdSets, events.back().holds);
        for (const Event& event : events.back().events) {
            if (event.kind == EventKind::InfusionStart) layout.rateSpecies[{event.shadow, event.compartment}] = 0;
            // The first observation at or below 0 that its output's error cannot weigh.
            const ErrorSpec& error = model.ErrorOf(event.output);
            if (event.nonPositive && nonPositiveLine == 0 && (!error.additive || error.exponential)) {
                nonPositiveLine = event.line;
                nonPositiveError = &error;
            }
        }
        for (std::size_t q = 0; q < events.back().covariateChanges.size(); ++q)
            if (events.back().covariateChanges[q]) layout.covariateSpecies[q] = 0;
    }
    // A zero prediction has no variance under a proportional error alone, a value ≤ 0 no logarithm.
    if (nonPositiveLine != 0) {
        const std::string& output = nonPositiveError->output;
        const std::string section = output.empty() ? "[error]" : "[error." + output + "]";
        throw DataError(data.Where(nonPositiveLine, 0, "") + ": an observation at or below 0, which " +
                        (nonPositiveError->exponential
                             ? "an exponential residual error cannot weigh (it models ln y, and ln y of a value at "
                               "or below 0 does not exist): use an additive or combined error (" +
                                   section + ")"
                             : "a proportional residual error alone cannot weigh (its variance b²·f² vanishes "
                               "with the prediction): add an additive term (" +
                                   section + " additive)") +
                        " or mark the row missing (MDV 1)");
    }
    // Species: the compartments, their infusion rates, the changing covariates, then the held sets,
    // the shadows' compartments and rates (a data set without steady states keeps its numbering).
    int species = layout.compartments;
    for (auto& [target, at] : layout.rateSpecies)
        if (target.first == 0) at = ++species;
    for (auto& [q, at] : layout.covariateSpecies) at = ++species;
    layout.holdBase = species;
    species += layout.holdSets * layout.compartments;
    layout.shadowBase = species;
    species += layout.shadowSets * layout.compartments;
    for (auto& [target, at] : layout.rateSpecies)
        if (target.first != 0) at = ++species;
    if (species > kMaxSpecies)
        throw DataError(data.source + ": the model's " + std::to_string(layout.compartments) + " compartments, " +
                        std::to_string(layout.rateSpecies.size()) + " infused compartment(s), " +
                        std::to_string(layout.covariateSpecies.size()) + " changing covariate(s) and " +
                        std::to_string(layout.shadowSets + layout.holdSets) +
                        " cop(ies) of the compartments for steady states (one per steady-state dose whose earlier "
                        "doses overlap another's) need more than the engine's " +
                        std::to_string(kMaxSpecies) + " species");
    layout.copyBase = int(model.pParameters.size());
    std::map<int, std::string> toSpecies;  // covariates that change are species
    for (const auto& [q, at] : layout.covariateSpecies) toSpecies[int(q + 1)] = "F" + std::to_string(at);
    for (const NamedFormula& output : model.outputs)
        layout.outputTexts.push_back(ReplaceVariables(output.engineFormula, 'Q', toSpecies));
    for (const ParameterSpec& parameter : model.parameters)
        layout.definitionTexts.push_back(ReplaceVariables(parameter.engineFormula, 'Q', toSpecies));
    for (std::size_t k = 0; k < model.outputs.size(); ++k) {
        layout.slots[{k, {}, 0}] = k;
        layout.slotViews.push_back({k, {}, 0});
    }

    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::vector<const DataRow*>& rows = rowsOf[order[i]];
        const bool requests = std::any_of(events[i].events.begin(), events[i].events.end(),
                                          [](const Event& e) { return !e.ChangesState(); });
        if (!requests) {
            problem.warnings.push_back("individual " + order[i] + " (line " + std::to_string(rows.front()->line) +
                                       ") has no observation and is left out");
            continue;
        }
        // The population estimation spreads the individuals over several engine states.
        if (model.fit.estimation == Estimation::Pooled && int(problem.individuals.size()) == kMaxIndividuals)
            throw DataError(data.Where(rows.front()->line, 0, "") + ": individual " + order[i] +
                            " is one more than the " + std::to_string(kMaxIndividuals) +
                            " individuals the engine can hold");
        EngineIndividual individual;
        individual.id = order[i];
        individual.firstLine = rows.front()->line;
        IndividualBuild{model, data, layout, events[i], individual, {}, {}, {}}.Build();
        for (const EnginePoint& point : individual.points)
            individual.observationCount +=
                int(std::count_if(point.requests.begin(), point.requests.end(),
                                  [](const EngineRequest& r) { return r.dv > 0 || r.nonPositive; }));
        problem.interruptCount = std::max(problem.interruptCount, int(individual.startFormulas.size()));
        problem.individuals.push_back(std::move(individual));
    }
    if (problem.individuals.empty()) throw DataError(data.source + ": no individual has an observation");

    // The engine's outputs: the model's, then each copy that reads species before a change.
    const std::size_t slots = layout.slotViews.size();
    if (slots > std::size_t(kMaxOutputs))
        throw DataError(data.source + ": observations before a change at their own time need " + std::to_string(slots) +
                        " engine outputs, more than its " + std::to_string(kMaxOutputs));
    const bool copies = slots > model.outputs.size();
    if (copies && layout.copyBase + species > kMaxPParameters)
        throw DataError(data.source + ": observations before a change at their own time need " +
                        std::to_string(layout.copyBase + species) + " P parameters, more than the engine's " +
                        std::to_string(kMaxPParameters));
    for (const auto& [output, before, shadow] : layout.slotViews) {
        problem.outputTexts.push_back(layout.ViewText(layout.ShadowText(layout.outputTexts[output], shadow), before));
        problem.outputOf.push_back(output);
    }
    for (EngineIndividual& individual : problem.individuals)
        for (EnginePoint& point : individual.points) {
            point.observed.assign(slots, 0.0);
            for (const EngineRequest& request : point.requests) {
                if (request.dv <= 0) continue;
                if (point.observed[request.slot] != 0)
                    throw DataError(data.Where(request.line, 0, "") + ": a second observation of output '" +
                                    model.outputs[problem.outputOf[request.slot]].name + "' at time " +
                                    NumberText(point.time));
                point.observed[request.slot] = request.dv;
            }
        }

    problem.speciesCount = species;
    problem.matrixText.assign(std::size_t(species), std::vector<std::string>(std::size_t(species)));
    problem.freeText.assign(std::size_t(species), "");
    // A shadow has the compartments' rates, read on its own amounts.
    for (int j = 0; j <= layout.shadowSets; ++j)
        for (int s = 1; s <= layout.compartments; ++s) {
            const std::size_t row = std::size_t(layout.SpeciesOf(j, s) - 1);
            for (int e = 1; e <= layout.compartments; ++e)
                problem.matrixText[row][std::size_t(layout.SpeciesOf(j, e) - 1)] =
                    layout.ShadowText(ReplaceVariables(model.matrixText[s - 1][e - 1], 'Q', toSpecies), j);
            problem.freeText[row] = layout.ShadowText(ReplaceVariables(model.freeText[s - 1], 'Q', toSpecies), j);
        }
    for (const auto& [target, at] : layout.rateSpecies)
        problem.matrixText[layout.SpeciesOf(target.first, target.second) - 1][at - 1] = "1";
    problem.parameterTexts = layout.definitionTexts;
    for (int t = 0; t < std::max(problem.interruptCount, 1); ++t) {
        std::vector<std::string> row;
        for (const NamedFormula& p : model.pParameters)
            row.push_back(ReplaceVariables(p.engineFormula, 'Q', toSpecies));
        for (int s = 1; copies && s <= species; ++s) row.push_back(t == 0 ? "0" : "F" + std::to_string(s));
        problem.pTexts.push_back(row);
    }
    // Kept, they enter the population estimation (the M3 method), whose report counts them.
    if (censored > 0 && censoredRows == CensoredRows::LeftOut)
        problem.warnings.push_back(std::to_string(censored) +
                                   " censored observation(s) (CENS not 0) are left out of the fit (the M1 method)");
    if (nonPositive > 0 && censoredRows == CensoredRows::LeftOut)
        problem.warnings.push_back(std::to_string(nonPositive) +
                                   " observation(s) at or below 0 are treated as missing (the engine weighs only "
                                   "positive values)");
    return problem;
}

}  // namespace tessuvan::cli
