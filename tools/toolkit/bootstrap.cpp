// The bootstrap of a FOCEI fit: its study read back from the fit's folder, the samples drawn and
// refitted, their files written, and the shards of one bootstrap joined.

#include <cmath>
#include <fstream>
#include <map>

#include "data/derived_covariates.h"
#include "engine/engine_limits.h"
#include "fmt/format.h"
#include "model/population_of.h"
#include "results/bootstrap_tables.h"
#include "results/file_digest.h"
#include "results/simulation_tables.h"
#include "results/text_file.h"
#include "runs/run_focei.h"
#include "runs/steady_state.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;

namespace {

using detail::Guarded;
using detail::Reporter;

constexpr const char* kGenerator =
    "std::mt19937_64 per sample, seeded by SplitMix64 of (seed, sample, 0); uniforms ((x >> 11) + 0.5) * 2^-53; "
    "stratum by stratum, individual floor(u * n) of its n";

// [individual]: its stratum, the levels of `column` numbered in the order they first appear. A
// level must be the same on every row of an individual that gives one.
std::vector<int> StrataOf(const EngineProblem& problem, const std::string& dataPath, const std::string& column,
                          const Reporter& reporter)
{
    std::vector<int> strata(problem.individuals.size(), 0);
    if (column.empty()) return strata;
    const DataSet data = detail::ReadWithColumn(dataPath, column);
    std::map<std::string, double> level;  // of each individual
    for (const DataRow& row : data.rows) {
        if (!row.covariates[0]) continue;
        const auto [at, added] = level.emplace(row.id, *row.covariates[0]);
        if (!added && at->second != *row.covariates[0])
            throw DataError(
                fmt::format("{}:{}: --stratify {}: individual {} has {} here and {} on an earlier row: "
                            "a stratum is one value per individual",
                            dataPath, row.line, column, row.id, *row.covariates[0], at->second));
    }
    std::map<double, int> number;
    std::map<int, int> sizes;
    for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
        const std::string& id = problem.individuals[i].id;
        const auto found = level.find(id);
        if (found == level.end())
            throw DataError(fmt::format("{}: --stratify {}: individual {} (from line {}) has no value in the column",
                                        dataPath, column, id, problem.individuals[i].firstLine));
        strata[i] = number.emplace(found->second, int(number.size())).first->second;
        ++sizes[strata[i]];
    }
    int single = 0;
    for (const auto& [stratum, size] : sizes) single += size == 1;
    if (single > 0)
        reporter.Warning(
            fmt::format("--stratify {}: {} of its {} levels hold one individual, drawn in every "
                        "sample: they add no spread (bins of a continuous column would)",
                        column, single, sizes.size()));
    return strata;
}

}  // namespace

BootstrapResult Bootstrap(const BootstrapRequest& request, const Callbacks& callbacks, const RunStart& started)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        reporter.Check();
        if (request.samples < 1) throw UsageError("--samples must be at least 1");
        if (request.shard.count > request.samples)
            throw UsageError(fmt::format("--shard {}/{}: {} shards of {} samples would leave some empty",
                                         request.shard.index, request.shard.count, request.shard.count,
                                         request.samples));
        const nlohmann::json results = ReadFitResults(request.fit);
        const std::filesystem::path resultsPath = request.fit / "results.json";
        Model model = detail::FitModel(request.fit, request.model, results);
        if (model.fit.estimation != Estimation::Focei)
            throw ModelError(model.source +
                             ": the bootstrap refits a population estimation (fit.estimation "
                             "\"focei\")");
        population::PopulationValues fitted;
        try {
            fitted = population::ReadPopulationJson(results);
        } catch (const population::PopulationJsonError& error) {
            throw ModelError(resultsPath.string() + ": " + error.what());
        }
        // The model at the fit's typical values: the steady states settle there.
        for (ParameterSpec& parameter : model.parameters)
            for (const auto& [name, value] : fitted.theta)
                if (parameter.name == name && parameter.formula.empty()) parameter.value = value;
        const std::string dataPath = detail::FitDataSet(request.fit, request.data, results).string();
        DataSet data = ReadDataSet(dataPath, detail::CovariateColumns(model));
        AddDerivedCovariates(model, data);
        PreDoses preDoses;
        const EngineProblem problem = SteadyStateProblem(model, data, CensoredRows::Kept, {}, preDoses);
        CheckEngineLimits(model, problem, data);
        CheckIntegrationReach(model);
        estimation::FoceiProblem start = FoceiProblemOf(model, problem);
        try {
            StartAt(fitted, start);
        } catch (const ModelError& error) {
            const std::string message = error.what(), bare = "results.json: ";
            throw ModelError(resultsPath.string() + ": " +
                             (message.rfind(bare, 0) == 0 ? message.substr(bare.size()) : message));
        }
        const std::vector<int> strata = StrataOf(problem, dataPath, request.stratify, reporter);

        BootstrapResult result;
        result.request = request;
        result.range = simulation::ShardReplicates(request.samples, request.shard);
        BootstrapTables& tables = result.tables;
        tables.estimates = BootstrapEstimatesOf(start);
        tables.fitted = EstimateValues(tables.estimates, fitted);

        nlohmann::ordered_json& description = tables.description;
        description["tool"] = "tessuvan bootstrap";
        description["fit"] = request.fit.string();
        description["fit_digest"] = FileDigest(resultsPath);
        description["model_file"] =
            request.model.empty() ? resultsPath.string() + " (run.model)" : request.model.string();
        if (!request.model.empty()) description["model_digest"] = FileDigest(request.model);
        description["data_file"] = dataPath;
        description["data_digest"] = FileDigest(dataPath);
        description["seed"] = request.seed;
        description["samples"] = request.samples;
        description["stratify"] =
            request.stratify.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(request.stratify);
        description["generator"] = kGenerator;
        description["individuals"] = problem.individuals.size();
        description["refit"] = "FOCEI from the fit's estimates, without the covariance step";
        for (std::size_t k = 0; k < tables.estimates.size(); ++k)
            description["estimates"][tables.estimates[k].kind][tables.estimates[k].name] =
                std::isfinite(tables.fitted[k]) ? nlohmann::ordered_json(tables.fitted[k]) : nlohmann::ordered_json();
        // As merge reads it back: the fit's values the summary shows are the JSON's.
        tables.description = nlohmann::ordered_json::parse(description.dump());

        if (started) started();
        reporter.Status("loading the model");
        tables.fits = RunBootstrap(model, problem, start, strata, request.seed, result.range, request.threads,
                                   reporter.FractionReport());
        int failed = 0;
        for (const BootstrapFit& fit : tables.fits)
            if (fit.status == BootstrapFit::Status::Failed && ++failed <= 3)
                reporter.Warning(fmt::format("sample {} failed: {}", fit.sample, fit.message));
        if (failed > 3) reporter.Warning(fmt::format("{} samples failed in all (bootstrap.csv: status)", failed));
        return result;
    });
}

Written WriteInto(const BootstrapResult& bootstrap, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        Reporter(callbacks).Status("writing the results");
        const BootstrapRequest& request = bootstrap.request;
        WriteBootstrapRows(folder.staging(), bootstrap.tables);
        Written written{folder.target(), {"bootstrap.csv"}, {}, {}};
        if (request.shard.count == 1) {
            written.report = written.summary = WriteBootstrapSummary(folder.staging(), bootstrap.tables);
            written.files.insert(written.files.end(), {"bootstrap_summary.csv", "bootstrap.txt"});
        }
        nlohmann::ordered_json description = bootstrap.tables.description;
        if (request.shard.count > 1)
            description["shard"] = {{"index", request.shard.index},
                                    {"count", request.shard.count},
                                    {"first_sample", bootstrap.range.first},
                                    {"last_sample", bootstrap.range.last},
                                    {"rows", bootstrap.range.Size()}};
        WriteDescription(folder.staging() / "bootstrap.json", description);
        written.files.push_back("bootstrap.json");
        folder.Commit();
        return written;
    });
}

Written Write(const BootstrapResult& bootstrap, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(bootstrap, folder, callbacks);
}

namespace detail {

Written MergeBootstrap(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& output)
{
    std::filesystem::path target = output;
    if (target.empty()) {
        std::ifstream in(shards.front() / "bootstrap.json");
        const nlohmann::json description = nlohmann::json::parse(in, nullptr, false);
        if (description.is_discarded() || !description.contains("fit") || !description["fit"].is_string())
            throw UsageError("give the merged folder with -o (" + shards.front().string() + " names no fit folder)");
        std::filesystem::path fit = std::filesystem::path(description["fit"].get<std::string>()).lexically_normal();
        if (fit.filename().empty()) fit = fit.parent_path();
        target = fit.string() + "-bootstrap";
    }
    OutputFolder folder(target);
    try {
        MergeBootstrapShards(shards, folder.staging());
    } catch (const WriteFailure&) {
        throw;
    } catch (const nlohmann::json::exception& error) {
        throw ModelError(std::string("a shard's bootstrap.json is not one 'tessuvan bootstrap' wrote: ") +
                         error.what());
    } catch (const std::runtime_error& error) {
        throw ModelError(error.what());  // the folders given are wrong: status 2
    }
    folder.Commit();
    return Written{
        folder.target(), {"bootstrap.csv", "bootstrap_summary.csv", "bootstrap.txt", "bootstrap.json"}, {}, {}};
}

}  // namespace detail

}  // namespace tessuvan::toolkit
