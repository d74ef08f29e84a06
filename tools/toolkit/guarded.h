// The toolkit's calls, inside: each runs behind the engine's floating-point guard, with the
// failures of the toolkit's parts turned into its own kinds, its callbacks asked for
// cancellation, and the engine's files in a folder it is given or makes for itself.
#pragma once

#include <chrono>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "data/data_set.h"
#include "engine/engine_codes.h"
#include "entry/floating_point_guard.h"
#include "model/model_file.h"
#include "runs/result_check.h"
#include "runs/run.h"
#include "runs/run_replicates.h"
#include "toolkit/toolkit.h"

namespace tessuvan::toolkit::detail {

inline constexpr const char* kOutOfMemory =
    "out of memory: the run needs more than the system gives it (fewer replicates in one run with --shard K/M, "
    "fewer --threads, or a smaller design)";

// A filesystem error in words: "PATH: the system's reason (the operation)", without the
// library's "filesystem error:" and its brackets.
inline std::string FilesystemMessage(const std::filesystem::filesystem_error& error)
{
    std::string operation = error.what();
    const std::string library = "filesystem error: ";
    if (operation.rfind(library, 0) == 0) operation.erase(0, library.size());
    operation = operation.substr(0, operation.find(':'));
    const std::string path = error.path1().empty() ? std::string() : error.path1().string() + ": ";
    return path + error.code().message() + " (" + operation + ")";
}

// The kinds: the model's and the data set's errors are the input's, the engine's its own, and
// anything else (a file that cannot be written, memory) the writing's, as the command has it.
template <typename Body>
auto Guarded(Body body) -> decltype(body())
{
    FloatingPointGuard guard;
    try {
        return body();
    } catch (const Error&) {
        throw;
    } catch (const cli::ModelError& error) {
        throw InputError(error.what());
    } catch (const cli::DataError& error) {
        throw InputError(error.what());
    } catch (const cli::EngineError& error) {
        throw EngineError(error.what());
    } catch (const cli::ResultError& error) {
        throw EngineError(error.what());
    } catch (const nlohmann::json::exception& error) {  // each reader names its file; this is the last resort
        throw InputError(std::string("a JSON file given is not as 'tessuvan' writes it: ") + error.what());
    } catch (const std::bad_alloc&) {
        throw WriteError(kOutOfMemory);
    } catch (const std::filesystem::filesystem_error& error) {
        throw WriteError(FilesystemMessage(error));
    } catch (const std::exception& error) {
        throw WriteError(error.what());
    }
}

// Write(result, folder): a new output folder, filled by the result's own WriteInto and
// committed whole, or nothing.
template <typename Result>
Written WriteIntoNewFolder(const Result& result, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        OutputFolder output(folder);
        return WriteInto(result, output, callbacks);
    });
}

// The callbacks as the runs take them, each report first asking whether to stop.
class Reporter {
public:
    explicit Reporter(const Callbacks& callbacks) : callbacks_(callbacks) {}
    void Check() const
    {
        if (callbacks_.cancelled && callbacks_.cancelled()) throw Cancelled("cancelled");
    }
    void Status(const std::string& status) const
    {
        Check();
        if (callbacks_.status) callbacks_.status(status);
    }
    void Warning(const std::string& message) const
    {
        if (callbacks_.warning) callbacks_.warning(message);
    }
    cli::ProgressReport StatusReport() const
    {
        return [this](const std::string& status) { Status(status); };
    }
    cli::RunProgress FractionReport() const
    {
        return [this](double fraction) {
            Check();
            if (callbacks_.fraction) callbacks_.fraction(fraction);
        };
    }

private:
    const Callbacks& callbacks_;
};

double SecondsSince(std::chrono::steady_clock::time_point start);

// The data set's columns the model's covariates read.
std::vector<std::string> CovariateColumns(const cli::Model& model);

// The data set of a fit (its folder `fit`, results.json read as `results`): `given`, or the one
// results.json names, looked for in the fit folder and then from the current one, the one
// whose digest is the fit's taken; a data set of other bytes is refused (ModelError), none
// found is a UsageError.
std::filesystem::path FitDataSet(const std::filesystem::path& fit, const std::filesystem::path& given,
                                 const nlohmann::json& results);
// The model of a fit: the file `given`, or the model text its results.json holds.
cli::Model FitModel(const std::filesystem::path& fit, const std::filesystem::path& given,
                    const nlohmann::json& results);

// The data set read for one column that an option (--stratify) names; its absence is said so.
cli::DataSet ReadWithColumn(const std::string& dataPath, const std::string& column);

// A simulation estimates nothing: every parameter fixed for the engine (which then loads a
// design without observations).
void ForSimulation(cli::Model& model);
// θ, Ω and σ of the model file, or of a fit's results.json (`results` not null), checked; a
// value of that file that is no number or out of range is named with the file.
simulation::VariabilityModel CheckedVariability(const cli::Model& model, const nlohmann::json* results,
                                                const std::filesystem::path& resultsPath);
// A warning for each bin of `edges` that holds none of `times` (`rows`: what they are).
void WarnEmptyBins(const Reporter& reporter, const std::vector<double>& edges, const std::vector<double>& times,
                   const std::string& output, const char* rows);

// Merge of the shards of a bootstrap (their folders hold bootstrap.json).
Written MergeBootstrap(const std::vector<std::filesystem::path>& shards, const std::filesystem::path& output);

}  // namespace tessuvan::toolkit::detail
