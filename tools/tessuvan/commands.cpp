#include "tessuvan/commands.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "fmt/format.h"
#include "model/printable.h"
#include "tessuvan/exit_status.h"
#include "tessuvan/progress.h"
#include "toolkit/toolkit.h"

namespace tessuvan::cli {

namespace {

namespace tk = tessuvan::toolkit;

// The toolkit's reports on the terminal: statuses, replicates as a bar, warnings.
tk::Callbacks Shown(ProgressLine& progress, int replicates = 0, const char* unit = "replicates")
{
    tk::Callbacks callbacks;
    callbacks.status = [&progress](const std::string& status) { progress.Show(status); };
    auto shown = std::make_shared<double>(-1.0);  // when the bar was last drawn, s
    callbacks.fraction = [&progress, replicates, shown, unit](double fraction) {
        const double now = progress.Seconds();
        if (now - *shown < 0.1 && fraction < 1) return;  // ten times a second at most
        *shown = now;
        const int done = int(std::floor(fraction * replicates + 1e-9));
        progress.Show(ProgressBar(fraction, now, fmt::format("{} of {} {}", done, replicates, unit)));
    };
    callbacks.warning = [&progress](const std::string& message) {
        progress.Clear();
        Say("warning: ", message);
    };
    return callbacks;
}

// The output folder, opened when the run starts (after the checks of the study).
tk::RunStart OpenedAtRun(std::optional<tk::OutputFolder>& folder, const std::filesystem::path& target)
{
    return [&folder, target] {
        folder.emplace(target);
        for (const std::string& note : folder->notes()) Say("note: ", note);
    };
}

void PrintResults(const tk::Written& written)
{
    std::cout << "Results in " << written.folder.string() << ":";
    for (std::size_t f = 0; f < written.files.size(); ++f) std::cout << (f ? ", " : " ") << written.files[f];
    std::cout << std::endl;
}

// What replicates and a VPC ask alike: how many draws, the seed, the time bins, the threads.
template <typename Request, typename Options>
Request Draws(const Options& options)
{
    if (options.replicates < 1) throw tk::UsageError("--replicates must be at least 1");
    Request request;
    request.replicates = options.replicates;
    request.seed = options.seed;
    request.bins = tk::ParseBins(options.bins, options.binEdges);
    request.threads = options.threads;
    return request;
}

// `run` (a call of the toolkit given the moment the run starts) with its results written into
// `target`, the folder opened when the run starts; the terminal's line cleared after.
template <typename Run>
tk::Written RunInto(ProgressLine& progress, const tk::Callbacks& callbacks, const std::filesystem::path& target,
                    Run run)
{
    std::optional<tk::OutputFolder> folder;
    const auto result = run(OpenedAtRun(folder, target));
    const tk::Written written = tk::WriteInto(result, *folder, callbacks);
    progress.Clear();
    return written;
}

}  // namespace

int RunCommand(const RunOptions& options, bool fit)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        const tk::Callbacks callbacks = Shown(progress);
        const tk::Study study = tk::LoadStudy(options.model, options.data);
        std::filesystem::path target = options.output;
        if (target.empty())
            target = std::filesystem::path(options.model).stem().string() + (fit ? "-fit" : "-simulation");
        tk::FitOptions fitOptions;
        fitOptions.npdeSimulations = options.npdeSimulations;
        fitOptions.linearPlots = options.linear;
        const tk::Written written =
            fit ? RunInto(progress, callbacks, target,
                          [&](const tk::RunStart& started) { return tk::Fit(study, callbacks, started, fitOptions); })
                : RunInto(progress, callbacks, target,
                          [&](const tk::RunStart& started) { return tk::Simulate(study, callbacks, started); });
        std::cout << (options.verbose ? written.report : written.summary) << "\n";
        PrintResults(written);
        return 0;
    });
}

int SimulateReplicatesCommand(const ReplicateOptions& options)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        tk::ReplicateRequest request = Draws<tk::ReplicateRequest>(options);
        request.shard = tk::ParseShard(options.shard, options.replicates);
        request.from = options.from;
        const tk::Study study = tk::LoadStudy(options.model, options.data);

        std::filesystem::path target = options.output;
        if (target.empty()) {
            target = std::filesystem::path(options.model).stem().string() + "-simulation";
            if (request.shard.count > 1) target += fmt::format("-{}-of-{}", request.shard.index, request.shard.count);
        }
        const tk::Callbacks callbacks = Shown(progress, options.replicates);
        std::vector<std::string> warnings;  // the data set's, said once the run is written
        const tk::Written written = RunInto(progress, callbacks, target, [&](const tk::RunStart& started) {
            tk::ReplicateSimulation simulation = tk::SimulateReplicates(study, request, callbacks, started);
            warnings = simulation.problem.warnings;
            return simulation;
        });
        for (const std::string& warning : warnings) Say("warning: ", warning);
        PrintResults(written);
        return 0;
    });
}

int MergeCommand(const std::vector<std::string>& folders, const std::string& output)
{
    ProgressLine progress(false);
    return Guarded(progress, [&] {
        PrintResults(tk::Merge(std::vector<std::filesystem::path>(folders.begin(), folders.end()), output));
        return 0;
    });
}

int VpcCommand(const VpcOptions& options)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        tk::VpcRequest request = Draws<tk::VpcRequest>(options);
        request.fit = options.fit;
        request.model = options.model;
        request.data = options.data;
        request.log = options.log;
        request.timeAfterDose = options.x == "tad";
        request.stratify = options.stratify;
        std::filesystem::path target = options.output;
        if (target.empty()) {
            std::filesystem::path fit = std::filesystem::path(options.fit).lexically_normal();
            if (fit.filename().empty()) fit = fit.parent_path();  // "out/fit/"
            target = fit.string() + "-vpc";
        }
        const tk::Callbacks callbacks = Shown(progress, options.replicates);
        PrintResults(RunInto(progress, callbacks, target,
                             [&](const tk::RunStart& started) { return tk::Vpc(request, callbacks, started); }));
        return 0;
    });
}

int BootstrapCommand(const BootstrapOptions& options)
{
    ProgressLine progress(!options.quiet);
    return Guarded(progress, [&] {
        if (options.samples < 1) throw tk::UsageError("--samples must be at least 1");
        tk::BootstrapRequest request;
        request.fit = options.fit;
        request.model = options.model;
        request.data = options.data;
        request.samples = options.samples;
        request.seed = options.seed;
        request.shard = tk::ParseShard(options.shard, std::numeric_limits<int>::max());  // checked by the run
        request.stratify = options.stratify;
        request.threads = options.threads;
        std::filesystem::path target = options.output;
        if (target.empty()) {
            std::filesystem::path fit = std::filesystem::path(options.fit).lexically_normal();
            if (fit.filename().empty()) fit = fit.parent_path();  // "out/fit/"
            target = fit.string() + "-bootstrap";
            if (request.shard.count > 1) target += fmt::format("-{}-of-{}", request.shard.index, request.shard.count);
        }
        // The bar counts this shard's samples.
        const tk::Callbacks callbacks =
            Shown(progress, simulation::ShardReplicates(options.samples, request.shard).Size(), "samples");
        const tk::Written written = RunInto(progress, callbacks, target, [&](const tk::RunStart& started) {
            return tk::Bootstrap(request, callbacks, started);
        });
        if (!written.report.empty()) std::cout << written.report << "\n";
        PrintResults(written);
        return 0;
    });
}

int CompareCommand(const std::vector<std::string>& fits)
{
    ProgressLine progress(false);
    return Guarded(progress, [&] {
        std::cout << tk::Compare(std::vector<std::filesystem::path>(fits.begin(), fits.end()));
        return 0;
    });
}

}  // namespace tessuvan::cli
