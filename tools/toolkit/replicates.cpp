#include "tessuvan/commands_simulation.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <iostream>
#include <memory>

#include "engine/engine_codes.h"
#include "fmt/format.h"
#include "results/output_folder.h"
#include "tessuvan/progress.h"
#include "results/report.h"
#include "results/report_vpc.h"
#include "results/simulation_tables.h"
#include "simulation/time_bins.h"

namespace tessuvan::cli {

namespace {

constexpr const char* kGenerator =
    "std::mt19937_64 per (replicate, individual), seeded by SplitMix64 of (seed, replicate, individual); "
    "uniforms ((x >> 11) + 0.5) * 2^-53; normals by Box-Muller";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

simulation::Shard ParseShard(const std::string& text, int replicates)
{
    simulation::Shard shard;
    if (text.empty()) return shard;
    int k = 0, m = 0;
    char slash = 0, rest = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &k, &slash, &m, &rest) != 3 || slash != '/' || k < 1 || m < 1 || k > m)
        throw UsageError("--shard " + text + ": expected K/M with 1 <= K <= M (the K-th of M slices)");
    if (m > replicates)
        throw UsageError(fmt::format("--shard {}: {} shards of {} replicates would leave some empty", text, m, replicates));
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
        if (cell.empty() || *end != '\0' || !std::isfinite(value) || (!rule.edges.empty() && value <= rule.edges.back()))
            throw UsageError("--bin-edges " + edges + ": expected increasing numbers separated by commas, at '" + cell + "'");
        rule.edges.push_back(value);
        at = comma + 1;
    }
    if (rule.edges.size() < 2) throw UsageError("--bin-edges " + edges + ": at least two edges");
    return rule;
}

int Fail(ProgressLine& progress, const std::string& message, int status)
{
    progress.Clear();
    std::fprintf(stderr, "tessuvan: %s\n", message.c_str());
    return status;
}

// A simulation estimates nothing: every parameter is fixed for the engine, which then also
// loads a design without observations (it refuses fewer observations than parameters to
// estimate), and the individuals go in blocks of the engine's capacity.
void ForSimulation(Model& model)
{
    model.fit.estimation = Estimation::Focei;
    for (ParameterSpec& parameter : model.parameters) parameter.estimate = Estimate::Fixed;
}

// Runs `body`, turning each kind of failure into its message and exit status.
template <typename Body>
int Guarded(ProgressLine& progress, Body body)
{
    try {
        return body();
    } catch (const UsageError& error) {
        return Fail(progress, error.what(), 1);
    } catch (const ModelError& error) {
        return Fail(progress, error.what(), 2);
    } catch (const DataError& error) {
        return Fail(progress, error.what(), 2);
    } catch (const EngineError& error) {
        return Fail(progress, error.what(), 3);
    } catch (const std::exception& error) {
        return Fail(progress, error.what(), 4);
    }
}

RunProgress BarOf(ProgressLine& progress, int replicates)
{
    auto shown = std::make_shared<double>(-1.0);  // when the bar was last drawn, s
    return [&progress, replicates, shown](double fraction) {
        const double now = progress.Seconds();
        if (now - *shown < 0.1 && fraction < 1) return;  // ten times a second at most
        *shown = now;
        const int done = int(std::floor(fraction * replicates + 1e-9));
        progress.Show(ProgressBar(fraction, now, fmt::format("{} of {} replicates", done, replicates)));
    };
}

void PrintResults(const OutputFolder& folder, const std::vector<std::string>& files)
{
    std::cout << "Results in " << folder.target().string() << ":";
    for (std::size_t f = 0; f < files.size(); ++f) std::cout << (f ? ", " : " ") << files[f];
    std::cout << std::endl;
}

}  // namespace

int SimulateReplicatesCommand(const ReplicateOptions& options)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        if (options.replicates < 1) throw UsageError("--replicates must be at least 1");
        const simulation::Shard shard = ParseShard(options.shard, options.replicates);
        const BinRule bins = ParseBins(options.bins, options.binEdges);
        Model model = LoadModel(options.model);
        ForSimulation(model);
        std::vector<std::string> columns;
        for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
        const DataSet data = ReadDataSet(options.data, columns);
        const EngineProblem problem = BuildEngineProblem(model, data);
        const SimulationDesign design = DesignOf(problem, data);
        nlohmann::json results;
        if (!options.from.empty()) results = ReadFitResults(options.from);
        const simulation::VariabilityModel variability = VariabilityOf(model, options.from.empty() ? nullptr : &results);

        std::filesystem::path target = options.output;
        if (target.empty()) {
            target = std::filesystem::path(options.model).stem().string() + "-simulation";
            if (shard.count > 1) target += fmt::format("-{}-of-{}", shard.index, shard.count);
        }
        OutputFolder folder(target);
        const simulation::ReplicateRange range = simulation::ShardReplicates(options.replicates, shard);
        progress.Show("loading the model");
        const ReplicateRun run = RunReplicates(model, problem, design, variability, options.seed, range, false,
                                               options.threads, folder.work(), BarOf(progress, options.replicates));
        progress.Show("writing the results");

        std::vector<std::string> etaNames;
        for (const auto& eta : variability.etas) etaNames.push_back(eta.name);
        const std::vector<SimulatedRow> rows = SimulatedRowsOf(model, problem, design, run, range.first);
        WriteSimulations(folder.staging() / "simulations.csv", etaNames, rows);
        std::vector<std::string> files{"simulations.csv"};
        if (shard.count == 1) {
            WriteSummary(folder.staging() / "summary.csv", rows, bins);
            files.push_back("summary.csv");
        }

        nlohmann::ordered_json description;
        description["tool"] = "tessuvan simulate";
        description["model_file"] = options.model;
        description["data_file"] = options.data;
        description["values"] = options.from.empty() ? "the model file" : (std::filesystem::path(options.from) / "results.json").string();
        description["seed"] = options.seed;
        description["replicates"] = options.replicates;
        description["generator"] = kGenerator;
        description["individuals"] = problem.individuals.size();
        std::size_t perReplicate = 0;
        for (const auto& individual : design) perReplicate += individual.size();
        description["rows_per_replicate"] = perReplicate;
        for (const auto& eta : variability.etas) description["omega"][eta.name] = eta.variance;
        description["sigma"] = {{"additive", variability.error.additive}, {"proportional", variability.error.proportional}};
        description["bins"] = bins.count;
        if (!bins.edges.empty()) description["bin_edges"] = bins.edges;
        if (shard.count > 1)
            description["shard"] = {{"index", shard.index}, {"count", shard.count}, {"first_replicate", range.first},
                                    {"last_replicate", range.last}};
        WriteDescription(folder.staging() / "simulation.json", description);
        files.push_back("simulation.json");
        folder.Commit();
        progress.Clear();
        for (const std::string& warning : problem.warnings) std::fprintf(stderr, "tessuvan: warning: %s\n", warning.c_str());
        PrintResults(folder, files);
        return 0;
    });
}

int MergeCommand(const std::vector<std::string>& folders, const std::string& output)
{
    ProgressLine progress(false);
    return Guarded(progress, [&] {
        std::vector<std::filesystem::path> shards(folders.begin(), folders.end());
        std::filesystem::path target = output;
        if (target.empty()) {
            std::ifstream in(shards.front() / "simulation.json");
            const nlohmann::json description = nlohmann::json::parse(in, nullptr, false);
            if (description.is_discarded() || !description.contains("shard"))
                throw ModelError((shards.front() / "simulation.json").string() +
                                 ": cannot be read as a shard's (a folder of 'tessuvan simulate --shard K/M')");
            if (!description.contains("model_file") || !description["model_file"].is_string())
                throw UsageError("give the merged folder with -o (" + shards.front().string() + " names no model file)");
            target = std::filesystem::path(description["model_file"].get<std::string>()).stem().string() + "-simulation";
        }
        OutputFolder folder(target);
        try {
            MergeShards(shards, folder.staging());
        } catch (const std::runtime_error& error) {
            throw ModelError(error.what());  // the folders given are wrong: status 2
        }
        folder.Commit();
        PrintResults(folder, {"simulations.csv", "summary.csv", "simulation.json"});
        return 0;
    });
}

int VpcCommand(const VpcOptions& options)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        if (options.replicates < 1) throw UsageError("--replicates must be at least 1");
        const BinRule bins = ParseBins(options.bins, options.binEdges);
        const nlohmann::json results = ReadFitResults(options.fit);
        const std::filesystem::path resultsPath = std::filesystem::path(options.fit) / "results.json";
        Model model;
        if (!options.model.empty()) model = LoadModel(options.model);
        else if (results.contains("run") && results["run"].contains("model") && results["run"]["model"].is_string())
            model = ParseModel(results["run"]["model"].get<std::string>(), resultsPath.string() + " (run.model)");
        else throw ModelError(resultsPath.string() + ": holds no model text; give the model with --model");
        ForSimulation(model);
        std::string dataPath = options.data;
        if (dataPath.empty() && results.contains("run") && results["run"].contains("data_file"))
            dataPath = results["run"]["data_file"].get<std::string>();
        if (dataPath.empty() || !std::filesystem::exists(dataPath))
            throw UsageError("the fit's data set " + (dataPath.empty() ? std::string("(not named)") : dataPath) +
                             " is not found: give it with --data");
        std::vector<std::string> columns;
        for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
        const DataSet data = ReadDataSet(dataPath, columns);
        const EngineProblem problem = BuildEngineProblem(model, data);
        const SimulationDesign design = DesignOf(problem, data);
        const simulation::VariabilityModel variability = VariabilityOf(model, &results);

        std::filesystem::path target = options.output;
        if (target.empty()) {
            std::filesystem::path fit = std::filesystem::path(options.fit).lexically_normal();
            if (fit.filename().empty()) fit = fit.parent_path();  // "out/fit/"
            target = fit.string() + "-vpc";
        }
        OutputFolder folder(target);
        progress.Show("loading the model");
        const ReplicateRun run = RunReplicates(model, problem, design, variability, options.seed,
                                               {1, options.replicates}, true, options.threads, folder.work(),
                                               BarOf(progress, options.replicates));
        progress.Show("writing the results");
        std::vector<OutputVpc> vpcs;
        for (std::size_t k = 0; k < model.outputs.size(); ++k) {
            OutputVpc vpc;
            vpc.output = model.outputs[k].name;
            std::vector<std::vector<double>> simulated(run.draws.size());
            for (std::size_t i = 0; i < design.size(); ++i)
                for (std::size_t o = 0; o < design[i].size(); ++o) {
                    const DesignRow& row = design[i][o];
                    if (row.output != k || !(row.dv > 0)) continue;
                    vpc.rows.push_back({row.time, row.dv, run.pred[i][Eigen::Index(o)]});
                    for (std::size_t r = 0; r < run.draws.size(); ++r)
                        simulated[r].push_back(run.draws[r][i].dv[Eigen::Index(o)]);
                }
            if (vpc.rows.empty()) continue;
            std::vector<double> edges = bins.edges;
            if (edges.empty()) {
                std::vector<double> times;
                for (const simulation::VpcRow& row : vpc.rows) times.push_back(row.time);
                edges = simulation::EqualCountEdges(times, bins.count);
            }
            vpc.vpc = simulation::ComputeVpc(vpc.rows, simulated, edges);
            vpcs.push_back(std::move(vpc));
        }
        if (vpcs.empty()) throw DataError(dataPath + ": no observations to check against");
        WriteVpcCsv(vpcs, folder.staging());
        std::vector<std::string> files{"vpc.csv"};
        try {
            WriteVpcPlot(vpcs, folder.staging(), folder.work());
            files.push_back("vpc.png");
        } catch (const std::exception& error) {
            progress.Clear();
            std::fprintf(stderr, "tessuvan: warning: no vpc.png: %s\n", error.what());
        }
        folder.Commit();
        progress.Clear();
        PrintResults(folder, files);
        return 0;
    });
}

}  // namespace tessuvan::cli
