// The toolkit's calls, inside: each runs behind the engine's floating-point guard, with the
// failures of the toolkit's parts turned into its own kinds, its callbacks asked for
// cancellation, and the engine's files in a folder it is given or makes for itself.
#pragma once

#include <chrono>
#include <filesystem>
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
    } catch (const std::exception& error) {
        throw WriteError(error.what());
    }
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

// The folder of the engine's files: the caller's, asked for when first needed, or a
// temporary one removed with this.
class Scratch {
public:
    explicit Scratch(const WorkFolder& work) : work_(work) {}
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::filesystem::path Path();

private:
    const WorkFolder& work_;
    std::filesystem::path own_;
};

double SecondsSince(std::chrono::steady_clock::time_point start);

// The data set's columns the model's covariates read.
std::vector<std::string> CovariateColumns(const cli::Model& model);

}  // namespace tessuvan::toolkit::detail
