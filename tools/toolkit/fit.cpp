// Studies, fits and simulations at the model's values, and their output folders: the pipeline
// of a run (load, read, build, check, run, check, write).

#include "data/derived_covariates.h"
#include "engine/engine_limits.h"
#include "fmt/format.h"
#include "results/report.h"
#include "results/report_compare.h"
#include "results/text_file.h"
#include "runs/run_focei.h"
#include "runs/steady_state.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;

namespace detail {

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> CovariateColumns(const Model& model)
{
    std::vector<std::string> columns;
    for (const CovariateSpec& covariate : model.covariates)
        if (!covariate.derived) columns.push_back(covariate.column);
    return columns;
}

}  // namespace detail

namespace {

using detail::CovariateColumns;
using detail::Guarded;
using detail::Reporter;

RunOutcome Run(const Study& study, bool fit, const Callbacks& callbacks, const RunStart& started,
               const FitOptions& options = {})
{
    const auto start = std::chrono::steady_clock::now();
    const Reporter reporter(callbacks);
    reporter.Check();
    RunOutcome outcome{study.modelPath, study.dataPath, study.model, {}, {}, 0, study.data, options.linearPlots};
    const Model& model = outcome.model;
    // Said before the run, which they may make fail (an unread parameter's singular fit), and
    // kept in the report.
    for (const std::string& warning : model.warnings) reporter.Warning(warning);
    const bool focei = fit && model.fit.estimation == Estimation::Focei;
    if (focei && options.npdeSimulations < 0) throw UsageError("the NPDE simulations must be 0 (none) or more");
    const CensoredRows censored = focei ? CensoredRows::Kept : CensoredRows::LeftOut;
    PreDoses preDoses;  // of the steady states: enough at the model's values, then at the run's end
    outcome.problem = SteadyStateProblem(model, study.data, censored, {}, preDoses);
    const EngineProblem& problem = outcome.problem;
    // The engine loads only data with observations; a design of doses and EVID 2 rows is
    // simulated by the replicates, which lend it stand-ins.
    bool observed = false;
    for (const EngineIndividual& individual : problem.individuals)
        observed = observed || individual.observationCount > 0;
    if (!observed)
        throw DataError(study.dataPath + ": no observation (a design of doses and EVID 2 rows): " +
                        (fit ? "nothing to fit" : "simulate it with --replicates N"));
    CheckEngineLimits(model, problem, study.data);

    if (started) started();
    outcome.run = focei ? RunFocei(model, problem, reporter.StatusReport())
                        : RunEngine(model, problem, fit, reporter.StatusReport());
    reporter.Check();  // an estimation that was asked to stop ends here
    // A fit that ends where its steady states need more earlier doses runs again with them.
    for (int round = 0; fit && HasSteadyStates(problem); ++round) {
        const SteadyStateCheck check = CheckSteadyStates(model, problem, outcome.run.values, preDoses);
        if (check.reached) break;
        if (round == kSteadyStateRounds)
            throw DataError(study.data.Where(check.line, study.data.steadyStateColumn, "SS") +
                            fmt::format(": individual {}: the steady state of the dose on line {} moves with each "
                                        "fit ({:.2g} relative from its limit at the end of the last)",
                                        check.individual, check.line, check.distance));
        reporter.Status("the steady states need more earlier doses at the fitted values: fitting again");
        outcome.problem = SteadyStateProblem(model, study.data, censored, outcome.run.values, preDoses);
        CheckEngineLimits(model, problem, study.data);
        outcome.run = focei ? RunFocei(model, problem, reporter.StatusReport())
                            : RunEngine(model, problem, fit, reporter.StatusReport());
        reporter.Check();
    }
    outcome.run.warnings.insert(outcome.run.warnings.begin(), model.warnings.begin(), model.warnings.end());
    // The fit's own predictions and estimates are checked before anything simulates from them.
    CheckPredictionsFinite(model, problem, outcome.run);
    CheckRunUsable(model, outcome.run);
    if (focei) {
        FitDiagnosticsRequest request;
        request.npdeSimulations = options.npdeSimulations;
        request.seed = options.seed;
        request.threads = options.threads > 0 ? options.threads : cli::AvailableProcessors();
        AddFitDiagnostics(model, problem, study.data, request, reporter.StatusReport(), outcome.run);
        reporter.Check();
        // The rows the diagnostics add (EVID 2); kept non-finite values were counted above.
        if (!model.fit.allowNonFinite) CheckPredictionsFinite(model, problem, outcome.run);
    }
    outcome.seconds = study.seconds + detail::SecondsSince(start);
    return outcome;
}

// The writers of one kind of result: the tables (returning their names), report.html, the text
// report, and the plots added to the common ones.
struct Writers {
    std::vector<std::string> (*tables)(const ReportContext&, const std::filesystem::path&);
    void (*html)(const ReportContext&, const std::vector<std::string>&, const std::filesystem::path&);
    std::string (*text)(const ReportContext&);
    void (*morePlots)(const ReportContext&, std::ostream&, const std::filesystem::path&, const std::filesystem::path&,
                      std::vector<std::string>&);
};

constexpr Writers kPooledWriters{WriteCsvFiles, WriteHtmlReport, TextReport, nullptr};
constexpr Writers kPopulationWriters{WriteFoceiTables, WriteFoceiHtmlReport, FoceiTextReport, AddFoceiPlots};

Written WriteRun(const RunOutcome& outcome, const Writers& writers, OutputFolder& folder, const Callbacks& callbacks)
{
    const auto start = std::chrono::steady_clock::now();
    Reporter(callbacks).Status("writing the results");
    RunResult result = outcome.run;  // the report's warnings may grow (no plots)
    ReportContext context;
    context.modelPath = outcome.modelPath;
    context.dataPath = outcome.dataPath;
    context.model = &outcome.model;
    context.problem = &outcome.problem;
    context.result = &result;
    context.data = &outcome.data;
    context.linearPlots = outcome.linearPlots;
    context.seconds = outcome.seconds;  // the run's time for results.json; the reports' below
    const std::vector<std::string> files = writers.tables(context, folder.staging());
    std::vector<std::string> plots;
    try {
        MorePlots more;
        if (writers.morePlots)
            more = [&](std::ostream& gp, std::vector<std::string>& names) {
                writers.morePlots(context, gp, folder.staging(), folder.work(), names);
            };
        plots = WritePlots(context, folder.staging(), folder.work(), more);
    } catch (const std::exception& error) {
        result.warnings.push_back("no plots: " + folder.Shown(error.what()));
    }
    context.seconds = outcome.seconds + detail::SecondsSince(start);
    writers.html(context, plots, folder.staging());
    Written written{folder.target(), {"report.html", "report.txt"}, writers.text(context), {}};
    context.summary = true;
    written.summary = writers.text(context);
    WriteTextFile(folder.staging() / "report.txt", written.report);
    folder.Commit();
    written.files.insert(written.files.end(), files.begin(), files.end());
    written.files.insert(written.files.end(), plots.begin(), plots.end());
    return written;
}

Written WriteKind(const PooledFit& fit, OutputFolder& folder, const Callbacks& callbacks)
{
    return WriteRun(fit, kPooledWriters, folder, callbacks);
}

Written WriteKind(const PopulationFit& fit, OutputFolder& folder, const Callbacks& callbacks)
{
    return WriteRun(fit, kPopulationWriters, folder, callbacks);
}

}  // namespace

Study LoadStudy(const std::filesystem::path& model, const std::filesystem::path& data)
{
    return Guarded([&] {
        const auto start = std::chrono::steady_clock::now();
        Study study{model.string(), data.string(), LoadModel(model), {}, 0};
        study.data = ReadDataSet(data, CovariateColumns(study.model));
        AddDerivedCovariates(study.model, study.data);
        study.seconds = detail::SecondsSince(start);
        return study;
    });
}

Study StudyFromTexts(std::string_view modelText, const std::string& modelName, std::string_view dataText,
                     const std::string& dataName)
{
    return Guarded([&] {
        Study study{modelName, dataName, ParseModel(modelText, modelName), {}, 0};
        study.data = ParseDataSet(dataText, dataName, CovariateColumns(study.model));
        AddDerivedCovariates(study.model, study.data);
        return study;
    });
}

FitResult Fit(const Study& study, const Callbacks& callbacks, const RunStart& started, const FitOptions& options)
{
    return Guarded([&]() -> FitResult {
        if (study.model.fit.estimation == Estimation::Focei)
            return PopulationFit{Run(study, true, callbacks, started, options)};
        return PooledFit{Run(study, true, callbacks, started, options)};
    });
}

Simulation Simulate(const Study& study, const Callbacks& callbacks, const RunStart& started)
{
    return Guarded([&] { return Simulation{Run(study, false, callbacks, started)}; });
}

Written WriteInto(const FitResult& fit, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded(
        [&] { return std::visit([&](const auto& kind) { return WriteKind(kind, folder, callbacks); }, fit); });
}

Written WriteInto(const Simulation& simulation, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] { return WriteRun(simulation, kPooledWriters, folder, callbacks); });
}

Written Write(const FitResult& fit, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(fit, folder, callbacks);
}

Written Write(const Simulation& simulation, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(simulation, folder, callbacks);
}

int AvailableProcessors() { return cli::AvailableProcessors(); }

std::string Compare(const std::vector<std::filesystem::path>& fits)
{
    return Guarded([&] { return ComparisonTable(fits); });
}

}  // namespace tessuvan::toolkit
