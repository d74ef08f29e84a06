// Points without observation between an individual's observed times, to draw its curves; and
// the species file's lines of a problem.
#include <set>

#include "engine/engine_input.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

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
        const int room = MaxPoints - int(points.size());  // the engine's points per individual
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
            grid.extra = true;
            merged.push_back(grid);
        }
        while (next < points.size()) merged.push_back(points[next++]);
        points = std::move(merged);
    }
}

std::vector<std::string> SpeciesFileLines(const Model&, const EngineProblem& problem)
{
    std::vector<std::string> lines;
    const std::size_t n = std::size_t(problem.speciesCount);
    for (std::size_t s = 0; s < n; ++s) {
        for (const EngineIndividual& individual : problem.individuals)
            for (int t = 0; t < problem.interruptCount; ++t)
                lines.push_back(std::size_t(t) < individual.startFormulas.size()
                                    ? individual.startFormulas[std::size_t(t)][s]
                                    : "F" + std::to_string(s + 1));
        lines.push_back(problem.freeText[s]);
        for (std::size_t e = 0; e < n; ++e) lines.push_back(problem.matrixText[s][e]);
    }
    return lines;
}

}  // namespace tessuvan::cli
