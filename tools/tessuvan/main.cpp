// tessuvan: fits and simulates kinetic models on pharmacometric data sets with the Tessuvan
// engine.
//
//   tessuvan fit MODEL.toml DATA.csv [-o FOLDER] [--quiet]
//   tessuvan simulate MODEL.toml DATA.csv [-o FOLDER] [--quiet]
//
// Exit status: 0 done, 1 wrong usage, 2 the model or the data set is wrong (also a file that
// does not exist or cannot be read), 3 the engine reported an error, 4 the results could not be
// written; ended by SIGINT, SIGTERM or SIGHUP, the process ends by that signal (128 + its
// number in a shell) and leaves no partial results.
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "data_set.h"
#include "engine_codes.h"
#include "engine_input.h"
#include "engine_limits.h"
#include "interruption.h"
#include "model_file.h"
#include "output_folder.h"
#include "prediction_check.h"
#include "progress.h"
#include "report.h"
#include "run.h"
#include "run_focei.h"

namespace {

using namespace tessuvan::cli;

struct Options {
    std::string model;
    std::string data;
    std::string output;
    bool quiet = false;
};

int Execute(const Options& options, bool fit)
{
    ProgressLine progress(!options.quiet);
    auto fail = [&progress](const std::string& message, int status) {
        progress.Clear();
        std::fprintf(stderr, "tessuvan: %s\n", message.c_str());
        return status;
    };
    try {
        const Model model = LoadModel(options.model);
        std::vector<std::string> columns;
        for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
        const DataSet data = ReadDataSet(options.data, columns);
        const EngineProblem problem = BuildEngineProblem(model, data);
        CheckEngineLimits(model, problem, data);

        std::filesystem::path target = options.output;
        if (target.empty()) target = std::filesystem::path(options.model).stem().string() + (fit ? "-fit" : "-simulation");
        OutputFolder folder(target);

        const ProgressReport show = [&](const std::string& s) { progress.Show(s); };
        RunResult result = fit && model.fit.estimation == Estimation::Focei ? RunFocei(model, problem, folder.work(), show)
                                                                            : RunEngine(model, problem, fit, folder.work(), show);
        CheckPredictionsFinite(model, problem, result);

        ReportContext context;
        context.modelPath = options.model;
        context.dataPath = options.data;
        context.model = &model;
        context.problem = &problem;
        context.result = &result;
        context.seconds = progress.Seconds();  // the run's time for results.json; the reports' below
        progress.Show("writing the results");
        std::vector<std::string> files = WriteCsvFiles(context, folder.staging());
        std::vector<std::string> plots;
        try {
            plots = WritePlots(context, folder.staging(), folder.work());
        } catch (const std::exception& error) {
            result.warnings.push_back(std::string("no plots: ") + error.what());
        }
        context.seconds = progress.Seconds();
        WriteHtmlReport(context, plots, folder.staging());
        const std::string text = TextReport(context);
        {
            std::ofstream copy(folder.staging() / "report.txt");
            copy << text;
        }
        folder.Commit();
        progress.Clear();

        std::cout << text << "\nResults in " << folder.target().string() << ": report.html, report.txt";
        for (const std::string& file : files) std::cout << ", " << file;
        for (const std::string& plot : plots) std::cout << ", " << plot;
        std::cout << std::endl;
        return 0;
    } catch (const ModelError& error) {
        return fail(error.what(), 2);
    } catch (const DataError& error) {
        return fail(error.what(), 2);
    } catch (const EngineError& error) {
        return fail(error.what(), 3);
    } catch (const std::exception& error) {
        return fail(error.what(), 4);
    }
}

void AddRunOptions(CLI::App& command, Options& options)
{
    // Files that do not exist are the model's or the data set's error (status 2), not usage.
    command.add_option("MODEL", options.model, "model file (TOML)")->required();
    command.add_option("DATA", options.data, "data set (CSV: ID, TIME, DV, AMT, CMT, EVID, MDV, covariates)")
        ->required();
    command.add_option("-o,--output", options.output,
                       "folder for the results (default: MODEL's name with -fit or -simulation); replaced whole");
    command.add_flag("-q,--quiet", options.quiet, "no progress line");
}

}  // namespace

int main(int argc, char** argv)
{
    InstallInterruptCleanup();
    CLI::App app{"tessuvan: fit and simulate kinetic models of a group of individuals"};
    app.require_subcommand(1);
    Options options;
    CLI::App* fit = app.add_subcommand(
        "fit", "estimate the population and individual parameter values, with standard errors, plots and a report");
    AddRunOptions(*fit, options);
    CLI::App* simulate =
        app.add_subcommand("simulate", "predict the data set at the model's parameter values, with plots and a report");
    AddRunOptions(*simulate, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& help) {  // --help
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "tessuvan: %s\nRun with --help for more information.\n", error.what());
        return 1;
    }
    return Execute(options, fit->parsed());
}
