// Simulation with variability: replicates of a design, a visual predictive check of a FOCEI
// fit, and the shards of a simulation joined.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

#include "data/derived_covariates.h"
#include "engine/engine_limits.h"
#include "fmt/format.h"
#include "results/file_digest.h"
#include "results/output_folder.h"
#include "results/report.h"
#include "results/report_vpc.h"
#include "results/simulation_tables.h"
#include "results/text_file.h"
#include "runs/steady_state.h"
#include "simulation/time_bins.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;

namespace detail {

// The fit's data set: --data, or the one results.json names (run.data_file, as the fit was
// given it). A relative name is looked for in the fit folder, then from the current folder
// (where the fit may have been run); of those that exist, the one whose digest is the fit's
// (run.data_digest, when the fit recorded one) is taken, and a data set of other bytes is
// refused: the check would compare the fit with observations it was not made of.
std::filesystem::path FitDataSet(const std::filesystem::path& fit, const std::filesystem::path& given,
                                 const nlohmann::json& results)
{
    const std::filesystem::path resultsPath = fit / "results.json";
    const nlohmann::json run =
        results.contains("run") && results["run"].is_object() ? results["run"] : nlohmann::json();
    const std::string recorded =
        run.contains("data_digest") && run["data_digest"].is_string() ? run["data_digest"].get<std::string>() : "";
    std::vector<std::filesystem::path> candidates;
    if (!given.empty())
        candidates.push_back(given);
    else if (run.contains("data_file") && run["data_file"].is_string()) {
        const std::filesystem::path written = run["data_file"].get<std::string>();
        if (written.is_relative()) candidates.push_back(fit / written);
        candidates.push_back(written);
    }
    std::filesystem::path found;
    for (const std::filesystem::path& candidate : candidates) {
        if (!std::filesystem::is_regular_file(candidate)) continue;
        if (recorded.empty() || FileDigest(candidate) == recorded) return candidate;
        if (found.empty()) found = candidate;
    }
    if (!found.empty())
        throw ModelError(
            fmt::format("{}: not the data set of the fit (its digest {} differs from {}'s run.data_digest "
                        "{}): give the fit's data set with --data",
                        found.string(), FileDigest(found), resultsPath.string(), recorded));
    throw UsageError("the fit's data set " +
                     (candidates.empty() ? std::string("(not named in ") + resultsPath.string() + ")"
                                         : candidates.front().string()) +
                     " is not found: give it with --data");
}

// The fit's model: the file given, or the model text its results.json holds.
Model FitModel(const std::filesystem::path& fit, const std::filesystem::path& given, const nlohmann::json& results)
{
    const std::filesystem::path resultsPath = fit / "results.json";
    if (!given.empty()) return LoadModel(given);
    if (results.contains("run") && results["run"].contains("model") && results["run"]["model"].is_string())
        return ParseModel(results["run"]["model"].get<std::string>(), resultsPath.string() + " (run.model)");
    throw ModelError(resultsPath.string() + ": holds no model text; give the model with --model");
}

// A simulation estimates nothing: every parameter is fixed for the engine, which then also
// loads a design without observations (it refuses fewer observations than parameters to
// estimate), and the individuals go in blocks of the engine's capacity.
DataSet ReadWithColumn(const std::string& dataPath, const std::string& column)
{
    try {
        return ReadDataSet(dataPath, {column});
    } catch (const DataError& error) {
        // The reader names a missing column as the model's covariate; here the option names it.
        if (std::string(error.what()).find("column " + column + " named in the model is missing") == std::string::npos)
            throw;
        throw DataError(fmt::format("{}: --stratify {}: the data set has no such column", dataPath, column));
    }
}

void ForSimulation(Model& model)
{
    model.fit.estimation = Estimation::Focei;
    for (ParameterSpec& parameter : model.parameters) parameter.estimate = Estimate::Fixed;
}

// θ, Ω and σ of the model file, or of a fit's results.json (`results` not null), checked: a
// value of that file that is no number or out of range is named with the file.
simulation::VariabilityModel CheckedVariability(const Model& model, const nlohmann::json* results,
                                                const std::filesystem::path& resultsPath)
{
    simulation::VariabilityModel variability;
    try {
        variability = VariabilityOf(model, results);
    } catch (const nlohmann::json::exception& error) {
        throw ModelError(resultsPath.string() + ": not the results of a population estimation (" + error.what() + ")");
    } catch (const ModelError& error) {
        const std::string message = error.what();
        const std::string bare = "results.json: ";
        if (message.rfind(bare, 0) != 0) throw;
        throw ModelError(resultsPath.string() + ": " + message.substr(bare.size()));
    }
    CheckVariabilityUsable(model, variability, results ? resultsPath.string() : std::string());
    return variability;
}

// Edges given by --bin-edges whose bin holds no row: summary.csv and vpc.csv leave such a bin
// out, so a warning names it (an edge mistyped, or a design without samples there).
void WarnEmptyBins(const Reporter& reporter, const std::vector<double>& edges, const std::vector<double>& times,
                   const std::string& output, const char* rows)
{
    std::vector<int> counts(edges.size() > 1 ? edges.size() - 1 : 0, 0);
    for (const double time : times)
        if (const int b = simulation::BinOf(edges, time); b >= 0) ++counts[std::size_t(b)];
    for (std::size_t b = 0; b < counts.size(); ++b)
        if (counts[b] == 0)
            reporter.Warning(fmt::format("--bin-edges: bin {} ({} to {}) of output '{}' holds no {}; it is left out",
                                         b + 1, edges[b], edges[b + 1], output, rows));
}

}  // namespace detail

namespace {

using detail::CheckedVariability;
using detail::CovariateColumns;
using detail::ForSimulation;
using detail::Guarded;
using detail::Reporter;
using detail::WarnEmptyBins;

constexpr const char* kGenerator =
    "std::mt19937_64 per (replicate, individual), seeded by SplitMix64 of (seed, replicate, individual); "
    "uniforms ((x >> 11) + 0.5) * 2^-53; normals by Box-Muller";

}  // namespace

Shard ParseShard(const std::string& text, int replicates)
{
    simulation::Shard shard;
    if (text.empty()) return shard;
    int k = 0, m = 0;
    char slash = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &k, &slash, &m, &rest) != 3 || slash != '/' || k < 1 || m < 1 || k > m)
        throw UsageError("--shard " + text + ": expected K/M with 1 <= K <= M (the K-th of M slices)");
    if (m > replicates)
        throw UsageError(
            fmt::format("--shard {}: {} shards of {} replicates would leave some empty", text, m, replicates));
    shard.index = k;
    shard.count = m;
    return shard;
}

BinRule ParseBins(int count, const std::string& edges)
{
    BinRule rule;
    if (count < 0) throw UsageError("--bins must be positive");
    rule.count = count;
    if (edges.empty()) return rule;
    std::size_t at = 0;
    while (at <= edges.size()) {
        const std::size_t comma = std::min(edges.find(',', at), edges.size());
        const std::string cell = edges.substr(at, comma - at);
        char* end = nullptr;
        const double value = std::strtod(cell.c_str(), &end);
        if (cell.empty() || *end != '\0' || !std::isfinite(value) ||
            (!rule.edges.empty() && value <= rule.edges.back()))
            throw UsageError("--bin-edges " + edges + ": expected increasing numbers separated by commas, at '" + cell +
                             "'");
        rule.edges.push_back(value);
        at = comma + 1;
    }
    if (rule.edges.size() < 2) throw UsageError("--bin-edges " + edges + ": at least two edges");
    return rule;
}

ReplicateSimulation SimulateReplicates(const Study& study, const ReplicateRequest& request, const Callbacks& callbacks,
                                       const RunStart& started)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        reporter.Check();
        if (request.replicates < 1) throw UsageError("--replicates must be at least 1");
        if (request.shard.count > request.replicates)
            throw UsageError(fmt::format("--shard {}/{}: {} shards of {} replicates would leave some empty",
                                         request.shard.index, request.shard.count, request.shard.count,
                                         request.replicates));
        ReplicateSimulation simulation{study.modelPath, study.dataPath, study.model, {}, {}, {}, request, {}, {}};
        Model& model = simulation.model;
        for (const std::string& warning : model.warnings) reporter.Warning(warning);
        ForSimulation(model);
        simulation.problem = DrawnSteadyStateProblem(model, study.data);
        simulation.design = DesignOf(simulation.problem, study.data);
        nlohmann::json results;
        if (!request.from.empty()) results = ReadFitResults(request.from);
        simulation.variability =
            CheckedVariability(model, request.from.empty() ? nullptr : &results, request.from / "results.json");
        CheckIntegrationReach(model);

        if (started) started();
        simulation.range = simulation::ShardReplicates(request.replicates, request.shard);
        reporter.Status("loading the model");
        simulation.run =
            RunReplicates(model, simulation.problem, simulation.design, simulation.variability, request.seed,
                          simulation.range, false, request.threads, reporter.FractionReport());
        return simulation;
    });
}

Written WriteInto(const ReplicateSimulation& simulation, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        Reporter(callbacks).Status("writing the results");
        const ReplicateRequest& request = simulation.request;
        const simulation::VariabilityModel& variability = simulation.variability;
        std::vector<std::string> etaNames;
        for (const auto& eta : variability.etas) etaNames.push_back(eta.name);
        const ReplicateDraws& draws = *simulation.run.draws;
        WriteSimulations(folder.staging() / "simulations.csv", simulation.model, simulation.problem, simulation.design,
                         etaNames, draws);
        std::vector<std::string> files{"simulations.csv"};
        if (request.shard.count == 1) {
            const SummaryRows rows = SummaryRowsOf(simulation.model, simulation.design, draws);
            if (!request.bins.edges.empty())
                for (std::size_t k = 0; k < rows.outputs.size(); ++k)
                    WarnEmptyBins(Reporter(callbacks), request.bins.edges, rows.replicateTimes[k], rows.outputs[k],
                                  "row");
            WriteSummary(folder.staging() / "summary.csv", rows, request.bins);
            files.push_back("summary.csv");
        }

        nlohmann::ordered_json description;
        description["tool"] = "tessuvan simulate";
        description["model_file"] = simulation.modelPath;
        description["data_file"] = simulation.dataPath;
        // What merge compares across shards: the same model and design, byte for byte.
        const auto digest = [&](const char* key, const std::string& path) {
            if (const std::string value = FileDigest(path); !value.empty()) description[key] = value;
        };
        digest("model_digest", simulation.modelPath);
        digest("data_digest", simulation.dataPath);
        description["values"] = request.from.empty() ? "the model file" : (request.from / "results.json").string();
        description["seed"] = request.seed;
        description["replicates"] = request.replicates;
        description["generator"] = kGenerator;
        description["individuals"] = simulation.problem.individuals.size();
        std::size_t perReplicate = 0;
        for (const auto& individual : simulation.design) perReplicate += individual.size();
        description["rows_per_replicate"] = perReplicate;
        for (const auto& eta : variability.etas) description["omega"][eta.name] = eta.variance;
        const auto terms = [](const estimation::ResidualError& error) {
            return error.exponential
                       ? nlohmann::ordered_json{{"exponential", error.additive}}
                       : nlohmann::ordered_json{{"additive", error.additive}, {"proportional", error.proportional}};
        };
        if (variability.outputErrors.empty()) description["sigma"] = terms(variability.error);
        for (std::size_t k = 0; k < variability.outputErrors.size() && k < simulation.model.outputs.size(); ++k)
            description["sigma"][simulation.model.outputs[k].name] = terms(variability.outputErrors[k]);
        description["bins"] = request.bins.count;
        if (!request.bins.edges.empty()) description["bin_edges"] = request.bins.edges;
        if (request.shard.count > 1)
            description["shard"] = {{"index", request.shard.index},
                                    {"count", request.shard.count},
                                    {"first_replicate", simulation.range.first},
                                    {"last_replicate", simulation.range.last},
                                    {"rows", std::size_t(simulation.range.Size()) * perReplicate}};
        WriteDescription(folder.staging() / "simulation.json", description);
        files.push_back("simulation.json");
        folder.Commit();
        return Written{folder.target(), files, {}, {}};
    });
}

Written Write(const ReplicateSimulation& simulation, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(simulation, folder, callbacks);
}

Written Merge(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& output)
{
    return Guarded([&] {
        if (shards.empty()) throw UsageError("no shard folder to merge");
        if (IsBootstrapFolder(shards.front())) return detail::MergeBootstrap(shards, output);
        std::filesystem::path target = output;
        if (target.empty()) {
            std::ifstream in(shards.front() / "simulation.json");
            const nlohmann::json description = nlohmann::json::parse(in, nullptr, false);
            if (description.is_discarded() || !description.contains("shard"))
                throw ModelError((shards.front() / "simulation.json").string() +
                                 ": cannot be read as a shard's (a folder of 'tessuvan simulate --shard K/M')");
            if (!description.contains("model_file") || !description["model_file"].is_string())
                throw UsageError("give the merged folder with -o (" + shards.front().string() +
                                 " names no model file)");
            target =
                std::filesystem::path(description["model_file"].get<std::string>()).stem().string() + "-simulation";
        }
        OutputFolder folder(target);
        try {
            MergeShards(shards, folder.staging(), folder.work());
        } catch (const WriteFailure&) {
            throw;
        } catch (const nlohmann::json::exception& error) {
            throw ModelError(std::string("a shard's simulation.json is not one 'tessuvan simulate' wrote: ") +
                             error.what());
        } catch (const std::runtime_error& error) {
            throw ModelError(error.what());  // the folders given are wrong: status 2
        }
        folder.Commit();
        return Written{folder.target(), {"simulations.csv", "summary.csv", "simulation.json"}, {}, {}};
    });
}

}  // namespace tessuvan::toolkit
