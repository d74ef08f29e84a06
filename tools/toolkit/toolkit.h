// The toolkit as a library: what the `tessuvan` command does, for any host (the command, a
// binding, a program of its own). A study (a model file and a data set) is loaded, then fitted
// (pooled, or by FOCEI when the model file's fit.estimation says so) or simulated, with or
// without variability; the results are plain values, written on request into an output folder
// that appears whole or not at all.
//
// Every call runs with the floating-point exceptions masked and gives the caller's
// floating-point environment back as it found it, so a host that unmasks traps keeps them.
// Failures are the exceptions below, each a kind the command turns into its exit status.
// Progress, warnings and cancellation go through Callbacks, every member optional.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "estimation/focei.h"
#include "model/model_file.h"
#include "results/bootstrap_tables.h"
#include "results/output_folder.h"
#include "results/report_vpc.h"
#include "results/simulation_tables.h"
#include "runs/run.h"
#include "runs/run_replicates.h"
#include "simulation/replicates.h"

namespace tessuvan::toolkit {

// ---- Failures ----------------------------------------------------------------------------
class Error : public std::runtime_error {
public:
    Error(const std::string& message) : std::runtime_error(cli::Printable(message)) {}
};
// A request out of range: a count below 1, a shard or bins that do not parse (the command's 1).
class UsageError : public Error {
public:
    using Error::Error;
};
// The model file, the data set or the folders given are wrong, or cannot be read (2).
class InputError : public Error {
public:
    using Error::Error;
};
// The engine reported an error code (3).
class EngineError : public Error {
public:
    using Error::Error;
};
// The results (or the run's working files) could not be written, or the system failed
// otherwise (4).
class WriteError : public Error {
public:
    using Error::Error;
};
// Callbacks::cancelled said so.
class Cancelled : public Error {
public:
    using Error::Error;
};

// ---- Callbacks ---------------------------------------------------------------------------
struct Callbacks {
    std::function<void(const std::string& status)> status;    // what the run does now
    std::function<void(double fraction)> fraction;            // replicates: the share done, 0..1
    std::function<void(const std::string& message)> warning;  // the model file's, before a run; no plot drawn
    // Asked at every report of the two above and between the stages; true ends the call with
    // Cancelled (a FOCEI estimation at the end of its stage, the others at once). `fraction`
    // and `cancelled` may be called from the run's threads, one at a time.
    std::function<bool()> cancelled;
};

// Called once, after the study has passed its checks and before the engine loads: the moment
// to open an output folder (the command does), so that a study refused leaves none.
using RunStart = std::function<void()>;

// The output folder, written whole or not at all (results/output_folder.h).
using cli::OutputFolder;

// ---- Studies -----------------------------------------------------------------------------
struct Study {
    std::string modelPath;  // names shown in the reports and results.json
    std::string dataPath;
    cli::Model model;
    cli::DataSet data;
    double seconds = 0;  // the time the load took, s (counted into a run's)
};

// Throws InputError (a file missing or unreadable, a model or data set that is wrong).
Study LoadStudy(const std::filesystem::path& model, const std::filesystem::path& data);
Study StudyFromTexts(std::string_view modelText, const std::string& modelName, std::string_view dataText,
                     const std::string& dataName);

// ---- Fits and simulations at the model's values ---------------------------------------------
struct RunOutcome {
    std::string modelPath;
    std::string dataPath;
    cli::Model model;
    cli::EngineProblem problem;
    cli::RunResult run;
    double seconds = 0;        // elapsed from the study's load to the run's end, s
    cli::DataSet data;         // the study's, for the tables of every data set row (sdtab.csv)
    bool linearPlots = false;  // the individual fits on a linear axis (default: log)
};
// Least squares with priors over every individual at once (the engine's fit).
struct PooledFit : RunOutcome {};
// A population estimation by FOCEI: run.focei holds θ, Ω, σ and their standard errors; the
// rest of run its typical values, the individual modes and the residuals.
struct PopulationFit : RunOutcome {
    const estimation::FoceiResult& estimation() const { return *run.focei; }
};
using FitResult = std::variant<PooledFit, PopulationFit>;
// Predictions of the data set at the model's values.
struct Simulation : RunOutcome {};

// What a population fit simulates after its estimation (and how a fit's plots are drawn): the NPDE of its observations
// from `npdeSimulations` replicates of the data set's design at the estimates (0: none), drawn by the streams of `seed`
// in `threads` threads (0: AvailableProcessors()); the numbers are the same for any count.
struct FitOptions {
    int npdeSimulations = 1000;
    std::uint64_t seed = 1;
    int threads = 0;
    bool linearPlots = false;  // the individual fits' concentrations on a linear axis, not a log one
};

FitResult Fit(const Study& study, const Callbacks& callbacks = {}, const RunStart& started = {},
              const FitOptions& options = {});
Simulation Simulate(const Study& study, const Callbacks& callbacks = {}, const RunStart& started = {});

// What was written: the folder, the files in it (in the order a person reads them) and, for
// a fit or a simulation, the text report (report.txt).
struct Written {
    std::filesystem::path folder;
    std::vector<std::string> files;
    std::string report;
    std::string summary;  // the report without its tables of every individual (the files hold them)
};

// report.html, report.txt, the CSV files (and results.json), the plots; a plot gnuplot cannot
// draw becomes a warning of the report. Into `folder` (replaced whole, if it is a result
// folder), or into an output folder the caller opened (committed here).
Written Write(const FitResult& fit, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written Write(const Simulation& simulation, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written WriteInto(const FitResult& fit, OutputFolder& folder, const Callbacks& callbacks = {});
Written WriteInto(const Simulation& simulation, OutputFolder& folder, const Callbacks& callbacks = {});

// ---- Simulation with variability ----------------------------------------------------------
using cli::BinRule;  // a number of time bins (0: the default rule) or their edges
using simulation::Shard;

// "K/M" (empty: the whole run) and "0,1,2,4,8,24"; throw UsageError.
Shard ParseShard(const std::string& text, int replicates);
BinRule ParseBins(int count, const std::string& edges);

struct ReplicateRequest {
    int replicates = 0;
    std::uint64_t seed = 1;
    std::filesystem::path from;  // a FOCEI fit folder whose results.json gives θ, Ω and σ
    Shard shard;
    BinRule bins;
    int threads = 1;
};

struct ReplicateSimulation {
    std::string modelPath;
    std::string dataPath;
    cli::Model model;  // every parameter fixed
    cli::EngineProblem problem;
    cli::SimulationDesign design;
    simulation::VariabilityModel variability;
    ReplicateRequest request;
    simulation::ReplicateRange range;
    cli::ReplicateRun run;
};

ReplicateSimulation SimulateReplicates(const Study& study, const ReplicateRequest& request,
                                       const Callbacks& callbacks = {}, const RunStart& started = {});
// simulations.csv, summary.csv (not for one shard of several), simulation.json.
Written Write(const ReplicateSimulation& simulation, const std::filesystem::path& folder,
              const Callbacks& callbacks = {});
Written WriteInto(const ReplicateSimulation& simulation, OutputFolder& folder, const Callbacks& callbacks = {});

// A visual predictive check of a FOCEI fit, from its folder's results.json.
struct VpcRequest {
    std::filesystem::path fit;    // the fit's folder
    std::filesystem::path model;  // default: the model text of results.json
    std::filesystem::path data;   // default: the data file named in results.json
    int replicates = 200;
    std::uint64_t seed = 1;
    BinRule bins;
    int threads = 1;
    bool log = false;            // the plot's concentration axis logarithmic
    bool timeAfterDose = false;  // x: the time after the last dose (rows before any dose left out)
    // A data set column: a check per level of its value on each individual's first row giving
    // one, or, with more than kVpcLevelsAsStrata levels, per third of the individuals by it.
    std::string stratify;
};
inline constexpr int kVpcLevelsAsStrata = 6;
struct VpcResult {
    std::vector<cli::OutputVpc> outputs;  // the outputs with observations, stratum by stratum
    cli::VpcAxes axes;
};
VpcResult Vpc(const VpcRequest& request, const Callbacks& callbacks = {}, const RunStart& started = {});
// vpc.csv, vpc_blq.csv (censored rows) and vpc.png (a warning when gnuplot cannot draw it).
Written Write(const VpcResult& vpc, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written WriteInto(const VpcResult& vpc, OutputFolder& folder, const Callbacks& callbacks = {});

// ---- The bootstrap ------------------------------------------------------------------------
// The nonparametric bootstrap of a FOCEI fit, from its folder's results.json: samples of the
// individuals drawn with replacement (within the strata of a column, when asked), each refitted
// from the fit's estimates (simulation/bootstrap.h, runs/run_bootstrap.h). The samples are the
// same for any shards and threads.
struct BootstrapRequest {
    std::filesystem::path fit;    // the fit's folder
    std::filesystem::path model;  // default: the model text of results.json
    std::filesystem::path data;   // default: the data file named in results.json
    int samples = 0;
    std::uint64_t seed = 1;
    Shard shard;
    std::string stratify;  // a data set column constant within each individual; empty: one stratum
    int threads = 1;
};
struct BootstrapResult {
    BootstrapRequest request;
    simulation::ReplicateRange range;  // the samples fitted (a shard's slice, or all)
    cli::BootstrapTables tables;
};
BootstrapResult Bootstrap(const BootstrapRequest& request, const Callbacks& callbacks = {},
                          const RunStart& started = {});
// bootstrap.csv and bootstrap.json; of a whole run also bootstrap_summary.csv and bootstrap.txt
// (Written::report, its text).
Written Write(const BootstrapResult& bootstrap, const std::filesystem::path& folder, const Callbacks& callbacks = {});
Written WriteInto(const BootstrapResult& bootstrap, OutputFolder& folder, const Callbacks& callbacks = {});

// Joins the folders of the shards of one simulation (or of one bootstrap) into what one run
// writes: into `target`, or, when it is empty, the model file's name with -simulation (the fit
// folder's with -bootstrap).
Written Merge(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& target = {});

// The FOCEI fits of the folders side by side (their results.json): −2LL, ΔOFV from the first,
// AIC, BIC, the condition number and every estimate, as a text table. Throws InputError when a
// folder holds no such results.
std::string Compare(const std::vector<std::filesystem::path>& fits);

// The processors the calling thread may run on, at most 8: the default number of threads.
int AvailableProcessors();

}  // namespace tessuvan::toolkit
