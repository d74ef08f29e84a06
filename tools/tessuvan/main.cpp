// tessuvan: fits and simulates kinetic models on pharmacometric data sets with the Tessuvan
// engine.
//
//   tessuvan fit MODEL.toml DATA.csv [-o FOLDER] [--quiet]
//   tessuvan simulate MODEL.toml DATA.csv [-o FOLDER] [--quiet]
//   tessuvan simulate MODEL.toml DATA.csv --replicates N [--seed S] [--from FIT] [--shard K/M]
//   tessuvan merge SHARD_FOLDER... [-o FOLDER]
//   tessuvan vpc FIT_FOLDER [--replicates N] [--seed S] [--bins B | --bin-edges E] [-o FOLDER]
//   tessuvan map PRIOR PATIENT.csv [--until T] [--draws N] [-o FOLDER]
//   tessuvan dose PRIOR PATIENT.csv --interval II --doses N --start T [--infusion D] --target KIND=VALUE
//
// Exit status: 0 done, 1 wrong usage, 2 the model or the data set is wrong (also a file that
// does not exist or cannot be read), 3 the engine reported an error, 4 the results could not be
// written; ended by SIGINT, SIGTERM or SIGHUP, the process ends by that signal (128 + its
// number in a shell) and leaves no partial results.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
    CLI::App* merge =
        app.add_subcommand("merge", "join the folders of the shards of one simulation into what one run writes");
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
    vpc.threads = tessuvan::toolkit::AvailableProcessors();
    vpcCommand->add_option("--threads", vpc.threads, "threads (default: the processors it may run on, at most 8)")
        ->check(CLI::Range(1, 64));
    const ForecastCommands forecasts(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& help) {  // --help
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "tessuvan: %s\nRun with --help for more information.\n", error.what());
        return 1;
    }
    if (const int status = forecasts.Run(); status >= 0) return status;
    if (merge->parsed()) return MergeCommand(shards, merged);
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
