#include "tessuvan/forecast_commands.h"

#include <cstdio>
#include <iostream>
#include <new>
#include <optional>
#include <vector>

#include "model/printable.h"
#include "tessuvan/exit_status.h"
#include "tessuvan/progress.h"
#include "toolkit/forecast.h"

namespace tessuvan::cli {

namespace tk = tessuvan::toolkit;

namespace {

tk::Callbacks Shown(ProgressLine& progress)
{
    tk::Callbacks callbacks;
    callbacks.status = [&progress](const std::string& status) { progress.Show(status); };
    callbacks.warning = [&progress](const std::string& message) {
        progress.Clear();
        Say("warning: ", message);
    };
    return callbacks;
}

std::filesystem::path Target(const std::string& output, const std::string& patient, const char* suffix)
{
    if (!output.empty()) return output;
    return std::filesystem::path(patient).stem().string() + suffix;
}

template <typename Result>
int Finish(ProgressLine& progress, const Result& result, const std::filesystem::path& target,
           const tk::Callbacks& callbacks)
{
    std::optional<tk::OutputFolder> folder;
    folder.emplace(target);
    for (const std::string& note : folder->notes()) Say("note: ", note);
    const tk::Written written = tk::WriteInto(result, *folder, callbacks);
    progress.Clear();
    std::cout << written.report << "\n";
    std::cout << "Results in " << written.folder.string() << ":";
    for (std::size_t f = 0; f < written.files.size(); ++f) std::cout << (f ? ", " : " ") << written.files[f];
    std::cout << std::endl;
    return 0;
}

void AddShared(CLI::App& command, tk::MapRequest& request, std::string& prior, std::string& patient,
               std::string& output, bool& quiet)
{
    command.add_option("PRIOR", prior, "a FOCEI fit folder, or a model file with omega and [error]")->required();
    command.add_option("PATIENT", patient, "the patient's rows (CSV in the data set's layout)")->required();
    command.add_option("--id", request.id, "the patient's ID, when the file holds several");
    command.add_option("--until", request.until, "the forecast's end (default: 24 after the last row)");
    command.add_option("--points", request.points, "times of the forecast's grid (default 61)");
    command.add_option("--draws", request.draws, "draws of eta for the percentiles (default 200)");
    command.add_option("--seed", request.seed, "seed of the draws (default 1)");
    command.add_flag("--sir", request.sir,
                     "resample the posterior draws by importance from 10 times as many Laplace draws");
    command.add_flag("--log", request.logAxis, "the plot's concentration axis logarithmic");
    command.add_option("-o,--output", output, "folder for the results (default: PATIENT's name with -map / -dose)");
    command.add_flag("-q,--quiet", quiet, "no progress line");
}

}  // namespace

struct ForecastCommands::Options {
    std::string prior, patient, output;
    bool quiet = false;
    tk::MapRequest map;
    tk::DoseRequest dose;
    bool steadyState = false;
    std::vector<double> intervals;
};

ForecastCommands::ForecastCommands(CLI::App& app) : options_(std::make_unique<Options>())
{
    Options& o = *options_;
    map_ = app.add_subcommand("map",
                              "one patient's MAP parameters given a population model, with a forecast and its "
                              "90 % interval");
    AddShared(*map_, o.map, o.prior, o.patient, o.output, o.quiet);
    dose_ = app.add_subcommand("dose",
                               "the dose of a regimen that reaches a target trough, peak or AUC24 for one "
                               "patient, with the probability of attaining it");
    AddShared(*dose_, o.dose.map, o.prior, o.patient, o.output, o.quiet);
    forecast::Regimen& regimen = o.dose.regimen;
    dose_
        ->add_option("--interval", o.intervals,
                     "the dosing interval II, or candidates II,II,...: each over the span of --doses of the "
                     "longest, the one chosen attaining the target with the highest probability (within 0.05 of "
                     "it, the longest)")
        ->delimiter(',')
        ->required();
    dose_->add_option("--doses", regimen.doses, "the number of doses N")->required();
    dose_->add_option("--start", regimen.start, "the first dose's time")->required();
    dose_->add_option("--infusion", regimen.infusion, "each dose's infusion duration (default: a bolus)");
    dose_->add_option("--cmt", regimen.cmt, "the compartment dosed (default 1)");
    dose_->add_flag("--steady-state", o.steadyState, "the regimen at steady state (the history replaced)");
    dose_->add_option("--target", o.dose.target, "trough=VALUE, peak=VALUE or auc24=VALUE; VALUE a number or LOW..HIGH")
        ->required();
    dose_->add_option("--at", o.dose.at, "a peak's time (default: the end of the last dose's infusion)");
    dose_->add_option("--round", o.dose.round, "round the dose to a multiple of this");
    dose_->add_option("--min-dose", o.dose.minDose, "the lowest dose (default 0)");
    dose_->add_option("--loading", o.dose.loading,
                      "a loading dose as the first: AMT, or auto (the dose times the accumulation ratio "
                      "C_ss(II) / C_1(II) of the patient's forecast, rounded as the dose)");
    dose_->add_option("--max-dose", o.dose.maxDose, "the highest dose (default: 10 times the history's largest)");
}

ForecastCommands::~ForecastCommands() = default;

int ForecastCommands::Run() const
{
    Options& o = *options_;
    if (!map_->parsed() && !dose_->parsed()) return -1;
    ProgressLine progress(!o.quiet);
    return Guarded(progress, [&] {
        const tk::Callbacks callbacks = Shown(progress);
        if (map_->parsed()) {
            o.map.prior = o.prior;
            o.map.patient = o.patient;
            const tk::MapResult map = tk::Map(o.map, callbacks);
            return Finish(progress, map, Target(o.output, o.patient, "-map"), callbacks);
        }
        o.dose.map.prior = o.prior;
        o.dose.map.patient = o.patient;
        o.dose.regimen.steadyState = o.steadyState;
        o.dose.regimen.interval = o.intervals.front();
        if (o.intervals.size() > 1) o.dose.intervals = o.intervals;
        const tk::DoseResult dose = tk::Dose(o.dose, callbacks);
        return Finish(progress, dose, Target(o.output, o.patient, "-dose"), callbacks);
    });
}

}  // namespace tessuvan::cli
