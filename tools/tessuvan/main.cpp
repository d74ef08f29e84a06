// tessuvan: fits and simulates kinetic models on pharmacometric data sets with the Tessuvan
// engine.
//
//   tessuvan fit MODEL.toml DATA.csv [-o FOLDER] [--quiet] [--verbose] [--npde N] [--linear]
//   tessuvan simulate MODEL.toml DATA.csv [-o FOLDER] [--quiet] [--verbose]
//   tessuvan simulate MODEL.toml DATA.csv --replicates N [--seed S] [--from FIT] [--shard K/M]
//   tessuvan merge SHARD_FOLDER... [-o FOLDER]
//   tessuvan vpc FIT_FOLDER [--replicates N] [--seed S] [--bins B | --bin-edges E] [--log] [--x tad]
//                [--stratify COLUMN] [-o FOLDER]
//   tessuvan map PRIOR PATIENT.csv [--until T] [--draws N] [-o FOLDER]
//   tessuvan dose PRIOR PATIENT.csv --interval II --doses N --start T [--infusion D] --target KIND=VALUE
//   tessuvan bootstrap FIT_FOLDER --samples N [--seed S] [--shard K/M] [--stratify COLUMN]
//   tessuvan compare FIT_FOLDER...
//   tessuvan --version
//
// Exit status: 0 done, 1 wrong usage, 2 the model or the data set is wrong (also a file that
// does not exist or cannot be read), 3 the engine reported an error, 4 the results could not be
// written; ended by SIGINT, SIGTERM or SIGHUP, the process ends by that signal (128 + its
// number in a shell) and leaves no partial results.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "results/interruption.h"
#include "tessuvan/commands.h"
#include "tessuvan/forecast_commands.h"
#include "toolkit/toolkit.h"

namespace {

using namespace tessuvan::cli;

using Options = RunOptions;

void AddRunOptions(CLI::App& command, Options& options)
{
    // Files that do not exist are the model's or the data set's error (status 2), not usage.
    command.add_option("MODEL", options.model, "model file (TOML)")->required();
    command.add_option("DATA", options.data, "data set (CSV: ID, TIME, DV, AMT, CMT, EVID, MDV, covariates)")
        ->required();
    command.add_option("-o,--output", options.output,
                       "folder for the results (default: MODEL's name with -fit or -simulation); replaced whole");
    command.add_flag("-q,--quiet", options.quiet, "no progress line");
    command.add_flag("-v,--verbose", options.verbose,
                     "the whole report on standard output, every individual included (report.txt holds it always)");
}

// A seed is a whole number from 0 to 2^64 − 1, checked as written: converted unchecked, a
// negative one would wrap around and a larger one be clamped, each silently another seed.
const CLI::Validator kSeed(
    [](std::string& text) -> std::string {
        const char* expected = "expected a whole number from 0 to 18446744073709551615 (2^64 - 1)";
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
            return std::string(expected) + ", not '" + text + "'";
        errno = 0;
        std::strtoull(text.c_str(), nullptr, 10);
        if (errno == ERANGE) return text + " is beyond 18446744073709551615 (2^64 - 1)";
        return {};
    },
    "SEED");

// The commands and what each does, for a mistyped command or option: the line CLI11 gives
// ("A subcommand is required", "The following arguments were not expected") says what is wrong
// but not what would be right.
std::string CommandList(const CLI::App& app)
{
    std::string list = "The commands:\n";
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        list += "  " + command->get_name() +
                std::string(10 - std::min<std::size_t>(9, command->get_name().size()), ' ') +
                command->get_description() + "\n";
    return list + "Run 'tessuvan COMMAND --help' for a command's options.\n";
}

}  // namespace

int main(int argc, char** argv)
{
    InstallInterruptCleanup();
    CLI::App app{"tessuvan: fit and simulate kinetic models of a group of individuals"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("tessuvan ") + TESSUVAN_VERSION);  // CMake's project version
    Options options;
    CLI::App* fit = app.add_subcommand(
        "fit", "estimate the population and individual parameter values, with standard errors, plots and a report");
    AddRunOptions(*fit, options);
    fit->add_option("--npde", options.npdeSimulations,
                    "FOCEI: replicates of the data set simulated at the estimates for the NPDE of sdtab.csv "
                    "(default 1000; 0: none)")
        ->check(CLI::Range(0, 1000000));
    fit->add_flag("--linear", options.linear, "the individual fits on a linear concentration axis (default: log)");
    CLI::App* simulate = app.add_subcommand(
        "simulate",
        "predict the data set at the model's parameter values, with plots and a report; with --replicates, "
        "simulate replicates of its design with between-subject variability and residual error");
    AddRunOptions(*simulate, options);
    ReplicateOptions replicates;
    simulate->add_option(
        "--replicates", replicates.replicates,
        "replicates of the design, each individual's eta drawn from omega and each row's epsilon from sigma");
    simulate->add_option("--seed", replicates.seed, "seed of the random streams (default 1)")->check(kSeed);
    simulate->add_option("--from", replicates.from,
                         "a FOCEI fit folder whose results.json gives theta, omega and sigma");
    simulate->add_option("--shard", replicates.shard, "K/M: the K-th of M disjoint slices of the replicates");
    simulate->add_option("--bins", replicates.bins, "time bins of summary.csv (default: distinct times, up to 10)")
        ->excludes(simulate->add_option("--bin-edges", replicates.binEdges,
                                        "time bins of summary.csv by their edges: 0,1,2,4,8,24"));

    replicates.threads = tessuvan::toolkit::AvailableProcessors();
    simulate
        ->add_option("--threads", replicates.threads,
                     "threads (default: the processors it may run on, at most 8); the numbers are the same for any")
        ->check(CLI::Range(1, 64));

    std::vector<std::string> shards;
    std::string merged;
    CLI::App* merge = app.add_subcommand(
        "merge", "join the folders of the shards of one simulation or bootstrap into what one run writes");
    merge->add_option("FOLDER", shards, "the shards' result folders")->required()->check(CLI::ExistingDirectory);
    merge->add_option("-o,--output", merged, "folder for the joined results (default: MODEL's name with -simulation)");

    VpcOptions vpc;
    CLI::App* vpcCommand = app.add_subcommand("vpc", "visual predictive check of a FOCEI fit: vpc.csv and vpc.png");
    vpcCommand->add_option("FIT_FOLDER", vpc.fit, "the fit's result folder (results.json)")
        ->required()
        ->check(CLI::ExistingDirectory);
    vpcCommand->add_option("--replicates", vpc.replicates, "simulated replicates of the data set (default 200)");
    vpcCommand->add_option("--seed", vpc.seed, "seed of the random streams (default 1)")->check(kSeed);
    vpcCommand->add_option("--bins", vpc.bins, "time bins (default: distinct observed times, up to 10)")
        ->excludes(vpcCommand->add_option("--bin-edges", vpc.binEdges, "time bins by their edges: 0,1,2,4,8,24"));
    vpcCommand->add_option("--model", vpc.model, "model file (default: the model text in results.json)")
        ->check(CLI::ExistingFile);
    vpcCommand->add_option("--data", vpc.data, "data set (default: the data file named in results.json)")
        ->check(CLI::ExistingFile);
    vpcCommand->add_option("-o,--output", vpc.output, "folder for the results (default: FIT_FOLDER with -vpc)");
    vpcCommand->add_flag("-q,--quiet", vpc.quiet, "no progress bar");
    vpcCommand->add_flag("--log", vpc.log, "a logarithmic concentration axis");
    vpcCommand->add_option("--x", vpc.x, "the x axis: time (default) or tad, the time after the last dose")
        ->check(CLI::IsMember({"time", "tad"}));
    vpcCommand->add_option("--stratify", vpc.stratify,
                           "a data set column: a check per level (per third of the individuals for more than 6)");
    vpc.threads = tessuvan::toolkit::AvailableProcessors();
    vpcCommand->add_option("--threads", vpc.threads, "threads (default: the processors it may run on, at most 8)")
        ->check(CLI::Range(1, 64));
    BootstrapOptions boot;
    CLI::App* bootstrap = app.add_subcommand(
        "bootstrap", "refit a FOCEI fit to samples of its individuals drawn with replacement: percentile intervals");
    bootstrap->add_option("FIT_FOLDER", boot.fit, "the fit's result folder (results.json)")
        ->required()
        ->check(CLI::ExistingDirectory);
    bootstrap->add_option("--samples", boot.samples, "samples of the individuals, each refitted")->required();
    bootstrap->add_option("--seed", boot.seed, "seed of the random streams (default 1)")->check(kSeed);
    bootstrap->add_option("--shard", boot.shard, "K/M: the K-th of M disjoint slices of the samples");
    bootstrap->add_option("--stratify", boot.stratify,
                          "a data set column constant within each individual: each sample keeps its levels' counts");
    bootstrap->add_option("--model", boot.model, "model file (default: the model text in results.json)")
        ->check(CLI::ExistingFile);
    bootstrap->add_option("--data", boot.data, "data set (default: the data file named in results.json)")
        ->check(CLI::ExistingFile);
    bootstrap->add_option("-o,--output", boot.output, "folder for the results (default: FIT_FOLDER with -bootstrap)");
    bootstrap->add_flag("-q,--quiet", boot.quiet, "no progress bar");
    boot.threads = tessuvan::toolkit::AvailableProcessors();
    bootstrap->add_option("--threads", boot.threads, "threads (default: the processors it may run on, at most 8)")
        ->check(CLI::Range(1, 64));
    const ForecastCommands forecasts(app);
    std::vector<std::string> compared;
    CLI::App* compare = app.add_subcommand(
        "compare", "FOCEI fits side by side: -2LL, dOFV, AIC, BIC, condition number and the estimates");
    compare->add_option("FIT_FOLDER", compared, "the fits' result folders (results.json); dOFV from the first")
        ->required()
        ->check(CLI::ExistingDirectory);
    // A first word that names no command: CLI11 would say only that a command is required.
    if (argc > 1 && argv[1][0] != '-') {
        const std::string word = argv[1];
        const CLI::App& commands = app;
        if (commands.get_subcommands([&word](const CLI::App* command) { return command->check_name(word); }).empty()) {
            std::fprintf(stderr, "tessuvan: unknown command '%s'\n%s", argv[1], CommandList(app).c_str());
            return 1;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& help) {  // --help
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        const bool unknown =
            dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr ||
            (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && app.get_subcommands().empty());
        std::fprintf(stderr, "tessuvan: %s\n%s", error.what(),
                     unknown ? CommandList(app).c_str() : "Run with --help for more information.\n");
        return 1;
    }
    if (const int status = forecasts.Run(); status >= 0) return status;
    if (merge->parsed()) return MergeCommand(shards, merged);
    if (compare->parsed()) return CompareCommand(compared);
    if (bootstrap->parsed()) return BootstrapCommand(boot);
    if (vpcCommand->parsed()) return VpcCommand(vpc);
    if (simulate->parsed() && simulate->count("--replicates") > 0) {
        replicates.model = options.model;
        replicates.data = options.data;
        replicates.output = options.output;
        replicates.quiet = options.quiet;
        return SimulateReplicatesCommand(replicates);
    }
    for (const char* name : {"--seed", "--from", "--shard", "--bins", "--bin-edges", "--threads"})
        if (simulate->parsed() && simulate->count(name) > 0) {
            std::fprintf(stderr, "tessuvan: simulate: %s needs --replicates\n", name);
            return 1;
        }
    return RunCommand(options, fit->parsed());
}
