#include "engine_input.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace tessuvan::cli {

namespace {

constexpr int kMaxIndividuals = 100;
constexpr int kMaxInterrupts = 10;
constexpr int kMaxPoints = 150;
// The engine counts a value not above this as "not observed".
constexpr double kObservationThreshold = 1e-130;

// The rows of one individual at one time (as the engine stores time: a single).
struct Moment {
    double time = 0;
    int firstLine = 0;
    std::map<int, double> doses;  // compartment -> amount
    bool reset = false;
    bool event = false;  // EVID 2: a point is wanted here
    std::vector<double> observed;
    std::vector<int> lines;
    int doseLine = 0;  // the row that made this moment start an interrupt

    bool StartsInterrupt() const { return reset || !doses.empty(); }
    bool Observed() const
    {
        return std::any_of(observed.begin(), observed.end(), [](double y) { return y > 0; });
    }
};

double AsStored(double time) { return static_cast<double>(static_cast<float>(time)); }

std::size_t OutputOf(const Model& model, const DataSet& data, const DataRow& row)
{
    if (model.outputs.size() == 1) return 0;
    for (std::size_t k = 0; k < model.outputs.size(); ++k)
        if (model.outputs[k].cmt && *model.outputs[k].cmt == row.cmt) return k;
    throw DataError(data.Where(row.line, data.cmtColumn, "CMT") + ": no output of the model has cmt " +
                    std::to_string(row.cmt));
}

std::vector<Moment> MomentsOf(const Model& model, const DataSet& data, const std::vector<const DataRow*>& rows,
                              int& zeroObservations)
{
    const std::size_t outputs = model.outputs.size();
    const int compartments = int(model.compartments.size());
    std::vector<Moment> moments;
    double previous = rows.front()->time;
    for (const DataRow* row : rows) {
        if (row->time < previous)
            throw DataError(data.Where(row->line, data.timeColumn, "TIME") + ": the time goes back from " +
                            NumberText(previous) + " to " + NumberText(row->time) + " within individual " + row->id +
                            " (sort each individual's rows by time)");
        previous = row->time;
        const double time = AsStored(row->time);
        if (moments.empty() || moments.back().time != time) {
            Moment moment;
            moment.time = time;
            moment.firstLine = row->line;
            moment.observed.assign(outputs, 0.0);
            moment.lines.assign(outputs, 0);
            moments.push_back(moment);
        }
        Moment& moment = moments.back();
        if (row->evid == 3 || row->evid == 4) {
            moment.reset = true;
            moment.doses.clear();
            if (moment.doseLine == 0) moment.doseLine = row->line;
        }
        if (row->evid == 1 || row->evid == 4) {
            const int cmt = row->cmt == 0 ? 1 : row->cmt;  // without CMT a dose goes to the first
            if (cmt < 1 || cmt > compartments)
                throw DataError(data.Where(row->line, data.cmtColumn, "CMT") + ": a dose needs CMT between 1 and " +
                                std::to_string(compartments) + " (the model's compartments in order)");
            moment.doses[cmt] += row->amount;
            if (moment.doseLine == 0) moment.doseLine = row->line;
        }
        if (row->evid == 2) moment.event = true;
        if (row->evid == 0 && !row->missing) {
            const std::size_t k = OutputOf(model, data, *row);
            if (!(*row->dv > kObservationThreshold)) {
                ++zeroObservations;
                continue;
            }
            if (moment.lines[k] != 0)
                throw DataError(data.Where(row->line, 0, "") + ": a second observation of output '" +
                                model.outputs[k].name + "' at time " + NumberText(row->time) + " (the first is on line " +
                                std::to_string(moment.lines[k]) + ")");
            moment.observed[k] = *row->dv;
            moment.lines[k] = row->line;
        }
    }
    // Moments that neither observe, dose nor ask for a point carry nothing.
    std::erase_if(moments, [](const Moment& m) { return !m.Observed() && !m.StartsInterrupt() && !m.event; });
    // A dose after the last observation changes nothing observed.
    while (!moments.empty() && moments.back().StartsInterrupt() && !moments.back().Observed()) moments.pop_back();
    return moments;
}

std::vector<std::string> StartFormulas(const Moment& moment, int compartments, bool absolute)
{
    std::vector<std::string> formulas;
    for (int s = 1; s <= compartments; ++s) {
        auto dose = moment.doses.find(s);
        if (absolute) formulas.push_back(dose == moment.doses.end() ? "0" : NumberText(dose->second));
        else if (dose == moment.doses.end()) formulas.push_back("F" + std::to_string(s));
        else formulas.push_back("F" + std::to_string(s) + "+" + NumberText(dose->second));
    }
    return formulas;
}

}  // namespace

std::string NumberText(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

int EngineProblem::PointCount() const
{
    int count = 0;
    for (const EngineIndividual& individual : individuals) count += int(individual.points.size());
    return count;
}

EngineProblem BuildEngineProblem(const Model& model, const DataSet& data)
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
    const int compartments = int(model.compartments.size());
    int zeroObservations = 0;
    for (const std::string& id : order) {
        const std::vector<const DataRow*>& rows = rowsOf[id];
        std::vector<Moment> moments = MomentsOf(model, data, rows, zeroObservations);
        if (moments.empty()) {
            problem.warnings.push_back("individual " + id + " (line " + std::to_string(rows.front()->line) +
                                       ") has no observation and is left out");
            continue;
        }
        // The population estimation spreads the individuals over several engine states.
        if (model.fit.estimation == Estimation::Pooled && int(problem.individuals.size()) == kMaxIndividuals)
            throw DataError(data.Where(rows.front()->line, 0, "") + ": individual " + id + " is one more than the " +
                            std::to_string(kMaxIndividuals) + " individuals the engine can hold");

        EngineIndividual individual;
        individual.id = id;
        individual.firstLine = rows.front()->line;
        int interrupt = 1;
        for (std::size_t m = 0; m < moments.size(); ++m) {
            const Moment& moment = moments[m];
            if (m == 0) {
                individual.startFormulas.push_back(StartFormulas(moment, compartments, true));
            } else if (moment.StartsInterrupt()) {
                if (++interrupt > kMaxInterrupts)
                    throw DataError(data.Where(moment.doseLine, 0, "") + ": individual " + id + " has more than " +
                                    std::to_string(kMaxInterrupts) + " dosing times, the most the engine can hold");
                individual.startFormulas.push_back(StartFormulas(moment, compartments, moment.reset));
            }
            EnginePoint point;
            point.time = moment.time;
            point.interrupt = interrupt;
            point.observed = moment.observed;
            point.lines = moment.lines;
            individual.observationCount += int(std::count_if(moment.observed.begin(), moment.observed.end(),
                                                             [](double y) { return y > 0; }));
            individual.points.push_back(point);
        }
        // The final point needs a successor when an interrupt begins there.
        if (individual.points.size() == 1 || moments.back().StartsInterrupt()) {
            EnginePoint padding;
            const double last = individual.points.back().time;
            padding.time = AsStored(last + std::max(1e-3, std::abs(last) * 1e-3));
            padding.interrupt = interrupt;
            padding.observed.assign(model.outputs.size(), 0.0);
            padding.lines.assign(model.outputs.size(), 0);
            padding.extra = true;
            individual.points.push_back(padding);
        }
        if (int(individual.points.size()) > kMaxPoints)
            throw DataError(data.Where(rows.back()->line, 0, "") + ": individual " + id + " has " +
                            std::to_string(individual.points.size()) + " distinct times, more than the " +
                            std::to_string(kMaxPoints) + " points the engine can hold");

        for (std::size_t q = 0; q < data.covariateColumns.size(); ++q) {
            std::optional<double> value;
            for (const DataRow* row : rows) {
                const std::optional<double>& cell = row->covariates[q];
                if (!cell) continue;
                if (!value) value = cell;
                else if (*cell != *value) {
                    problem.warnings.push_back("individual " + id + ": " + data.covariateColumns[q] +
                                               " changes (line " + std::to_string(row->line) +
                                               "); the first value, " + NumberText(*value) + ", is used throughout");
                    break;
                }
            }
            if (!value)
                throw DataError(data.Where(rows.front()->line, 0, "") + ": individual " + id + " has no value of " +
                                data.covariateColumns[q]);
            individual.covariates.push_back(*value);
        }
        problem.interruptCount = std::max(problem.interruptCount, int(individual.startFormulas.size()));
        problem.individuals.push_back(std::move(individual));
    }
    if (zeroObservations > 0)
        problem.warnings.push_back(std::to_string(zeroObservations) +
                                   " observation(s) at or below 0 are treated as missing (the engine weighs only "
                                   "positive values)");
    if (problem.individuals.empty()) throw DataError(data.source + ": no individual has an observation");
    return problem;
}

void AddCurveGrid(EngineProblem& problem, int perIndividual)
{
    for (EngineIndividual& individual : problem.individuals) {
        std::vector<EnginePoint>& points = individual.points;
        double first = 0, last = 0;
        bool any = false;
        for (const EnginePoint& point : points)
            if (!point.extra) {
                if (!any) first = point.time;
                last = point.time;
                any = true;
            }
        const int room = kMaxPoints - int(points.size());
        const int count = std::min(perIndividual, room);
        if (!any || count <= 0 || !(last > first)) continue;
        std::set<double> taken;
        for (const EnginePoint& point : points) taken.insert(point.time);
        std::vector<EnginePoint> merged;
        std::size_t next = 0;
        for (int j = 1; j <= count; ++j) {
            const double time = AsStored(first + (last - first) * j / (count + 1));
            while (next < points.size() && points[next].time < time) merged.push_back(points[next++]);
            if (taken.count(time) != 0) continue;
            taken.insert(time);
            EnginePoint grid;
            grid.time = time;
            grid.interrupt = merged.empty() ? 1 : merged.back().interrupt;
            grid.observed.assign(points.front().observed.size(), 0.0);
            grid.lines.assign(points.front().lines.size(), 0);
            grid.extra = true;
            merged.push_back(grid);
        }
        while (next < points.size()) merged.push_back(points[next++]);
        points = std::move(merged);
    }
}

std::vector<std::string> SpeciesFileLines(const Model& model, const EngineProblem& problem)
{
    std::vector<std::string> lines;
    const std::size_t n = model.compartments.size();
    for (std::size_t s = 0; s < n; ++s) {
        for (const EngineIndividual& individual : problem.individuals)
            for (int t = 0; t < problem.interruptCount; ++t)
                lines.push_back(std::size_t(t) < individual.startFormulas.size()
                                    ? individual.startFormulas[std::size_t(t)][s]
                                    : "F" + std::to_string(s + 1));
        lines.push_back(model.freeText[s]);
        for (std::size_t e = 0; e < n; ++e) lines.push_back(model.matrixText[s][e]);
    }
    return lines;
}

}  // namespace tessuvan::cli
