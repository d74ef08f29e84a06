// The visual predictive check of a FOCEI fit: the fit's study read back from its folder, its
// design simulated at the estimates, and per output and stratum the check against the
// observations, over the time or the time after dose, with the fraction below the limit of
// quantification when the data have censored rows.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>

#include "data/derived_covariates.h"
#include "engine/engine_limits.h"
#include "fmt/format.h"
#include "results/report.h"
#include "results/report_vpc.h"
#include "runs/steady_state.h"
#include "simulation/time_bins.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;

namespace {

using detail::CheckedVariability;
using detail::CovariateColumns;
using detail::ForSimulation;
using detail::Guarded;
using detail::Reporter;
using detail::WarnEmptyBins;

struct Strata {
    std::vector<std::string> labels;  // [stratum]; one empty label without strata
    std::vector<int> of;              // [individual]
};

// The strata of `column`: its value on each individual's first row that gives one; the levels
// in increasing order, or thirds of the individuals by it when the levels are many.
Strata StrataOf(const EngineProblem& problem, const std::string& dataPath, const std::string& column)
{
    Strata strata{{""}, std::vector<int>(problem.individuals.size(), 0)};
    if (column.empty()) return strata;
    const DataSet data = detail::ReadWithColumn(dataPath, column);
    std::map<std::string, double> first;
    for (const DataRow& row : data.rows)
        if (row.covariates[0]) first.emplace(row.id, *row.covariates[0]);
    std::vector<double> values;
    for (const EngineIndividual& individual : problem.individuals) {
        const auto found = first.find(individual.id);
        if (found == first.end())
            throw DataError(fmt::format("{}: --stratify {}: individual {} (from line {}) has no value in the column",
                                        dataPath, column, individual.id, individual.firstLine));
        values.push_back(found->second);
    }
    std::map<double, int> levels;
    for (const double value : values) levels.emplace(value, 0);
    strata.labels.clear();
    if (int(levels.size()) <= kVpcLevelsAsStrata) {
        for (auto& [value, number] : levels) {
            number = int(strata.labels.size());
            strata.labels.push_back(fmt::format("{} {:g}", column, value));
        }
        for (std::size_t i = 0; i < values.size(); ++i) strata.of[i] = levels.at(values[i]);
        return strata;
    }
    const std::vector<double> edges = simulation::EqualCountEdges(values, 3);
    for (std::size_t b = 0; b + 1 < edges.size(); ++b)
        strata.labels.push_back(
            fmt::format("{} {:g} to {}{:g}", column, edges[b], b + 2 < edges.size() ? "< " : "", edges[b + 1]));
    for (std::size_t i = 0; i < values.size(); ++i) strata.of[i] = simulation::BinOf(edges, values[i]);
    return strata;
}

}  // namespace

VpcResult Vpc(const VpcRequest& request, const Callbacks& callbacks, const RunStart& started)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        reporter.Check();
        if (request.replicates < 1) throw UsageError("--replicates must be at least 1");
        const nlohmann::json results = ReadFitResults(request.fit);
        const std::filesystem::path resultsPath = request.fit / "results.json";
        Model model = detail::FitModel(request.fit, request.model, results);
        ForSimulation(model);
        const std::string dataPath = detail::FitDataSet(request.fit, request.data, results).string();
        DataSet data = ReadDataSet(dataPath, CovariateColumns(model));
        AddDerivedCovariates(model, data);
        // Censored rows are simulated too, for the fraction below the limit (a data set without
        // them has the same design either way).
        const EngineProblem problem = DrawnSteadyStateProblem(model, data, CensoredRows::Kept);
        const SimulationDesign design = DesignOf(problem, data);
        const simulation::VariabilityModel variability = CheckedVariability(model, &results, resultsPath);
        const Strata strata = StrataOf(problem, dataPath, request.stratify);
        std::map<int, std::size_t> rowOfLine;
        for (std::size_t r = 0; r < data.rows.size(); ++r) rowOfLine[data.rows[r].line] = r;
        const std::vector<std::optional<double>> tad =
            request.timeAfterDose ? TimesAfterDose(data) : std::vector<std::optional<double>>();
        CheckIntegrationReach(model);

        if (started) started();
        reporter.Status("loading the model");
        const ReplicateRun run =
            RunReplicates(model, problem, design, variability, request.seed, {1, request.replicates}, true,
                          request.threads, reporter.FractionReport());
        reporter.Status("writing the results");
        VpcResult result;
        result.axes.timeAfterDose = request.timeAfterDose;
        result.axes.timeUnit = model.timeUnit;
        result.axes.log = request.log;
        int beforeDose = 0;
        for (std::size_t k = 0; k < model.outputs.size(); ++k)
            for (std::size_t s = 0; s < strata.labels.size(); ++s) {
                OutputVpc vpc;
                vpc.output = model.outputs[k].name;
                vpc.stratum = strata.labels[s];
                vpc.unit = model.outputs[k].unit;
                std::vector<std::pair<std::size_t, std::size_t>> observed, all;  // (individual, row)
                std::vector<simulation::BlqRow> blq;
                std::vector<double> limits;
                std::vector<double> floors;  // per observed row: its own limit when censored, NaN else
                for (std::size_t i = 0; i < design.size(); ++i) {
                    if (strata.of[i] != int(s)) continue;
                    for (std::size_t o = 0; o < design[i].size(); ++o) {
                        const DesignRow& row = design[i][o];
                        if (row.output != k || !(row.dv > 0 || row.censored != 0)) continue;
                        double x = row.time;
                        if (request.timeAfterDose) {
                            const std::optional<double>& after = tad[rowOfLine.at(row.line)];
                            if (!after) {
                                beforeDose += k == 0;
                                continue;
                            }
                            x = *after;
                        }
                        blq.push_back({x, row.censored == 1, 0});
                        limits.push_back(row.censored != 0 ? data.rows[rowOfLine.at(row.line)].dv.value_or(0) : 0);
                        all.emplace_back(i, o);
                        if (row.censored == -1) continue;  // above a limit: out of the percentiles
                        // Below the limit: at the limit, as the simulated values below it are, so
                        // that a percentile under the limit reads as the limit in both and the
                        // observed ones are not those of the values above it alone.
                        vpc.rows.push_back(
                            {x, row.censored == 1 ? limits.back() : row.dv, run.pred[i][Eigen::Index(o)]});
                        floors.push_back(row.censored == 1 ? limits.back() : std::nan(""));
                        observed.emplace_back(i, o);
                    }
                }
                double lowest = -std::numeric_limits<double>::infinity();  // the largest limit below
                for (const double floor : floors)
                    if (std::isfinite(floor)) lowest = std::isfinite(lowest) ? std::max(lowest, floor) : floor;
                for (double& floor : floors)
                    if (!std::isfinite(floor)) floor = lowest;
                if (vpc.rows.empty()) continue;
                // The simulated values of `rows`, each raised to its floor when given.
                const auto replayOf = [&](const std::vector<std::pair<std::size_t, std::size_t>>& rows,
                                          const std::vector<double>* floor = nullptr) {
                    return simulation::ReplicateReplay([&run, &rows, floor](const auto& take) {
                        std::vector<double> values(rows.size());
                        run.draws->ForEach([&](int, const std::vector<simulation::SimulatedIndividual>& drawn) {
                            for (std::size_t j = 0; j < rows.size(); ++j)
                                values[j] = drawn[rows[j].first].dv[Eigen::Index(rows[j].second)];
                            if (floor)
                                for (std::size_t j = 0; j < rows.size(); ++j)
                                    values[j] = std::max(values[j], (*floor)[j]);
                            take(values);
                        });
                    });
                };
                std::vector<double> edges = request.bins.edges, times;
                for (const simulation::VpcRow& row : vpc.rows) times.push_back(row.time);
                if (edges.empty())
                    edges = simulation::EqualCountEdges(times, request.bins.count);
                else
                    WarnEmptyBins(reporter, edges, times, vpc.output, "observation");
                vpc.vpc = simulation::ComputeVpc(vpc.rows, std::size_t(request.replicates), replayOf(observed, &floors),
                                                 edges);
                if (simulation::SetLimits(blq, limits)) {
                    std::vector<double> xs;
                    for (const simulation::BlqRow& row : blq) xs.push_back(row.x);
                    const std::vector<double> blqEdges =
                        request.bins.edges.empty() ? simulation::EqualCountEdges(xs, request.bins.count) : edges;
                    vpc.blq = simulation::ComputeBlq(blq, replayOf(all), blqEdges);
                }
                result.outputs.push_back(std::move(vpc));
            }
        if (beforeDose > 0)
            reporter.Warning(
                fmt::format("--x tad: {} observations before the first dose of their individual are "
                            "left out (no time after dose)",
                            beforeDose));
        if (result.outputs.empty()) throw DataError(dataPath + ": no observations to check against");
        return result;
    });
}

Written WriteInto(const VpcResult& vpc, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        std::vector<std::string> files = WriteVpcCsv(vpc.outputs, vpc.axes, folder.staging());
        try {
            WriteVpcPlot(vpc.outputs, vpc.axes, folder.staging(), folder.work());
            files.push_back("vpc.png");
        } catch (const std::exception& error) {
            reporter.Warning("no vpc.png: " + folder.Shown(error.what()));
        }
        folder.Commit();
        return Written{folder.target(), files, {}, {}};
    });
}

Written Write(const VpcResult& vpc, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(vpc, folder, callbacks);
}

}  // namespace tessuvan::toolkit
