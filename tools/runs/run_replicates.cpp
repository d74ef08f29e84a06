#include "runs/run_replicates.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/engine_adapter.h"
#include "engine/engine_codes.h"
#include "engine/engine_session.h"
#include "fmt/format.h"
#include "model/population_of.h"
#include "population/population_json.h"
#include "tessuvan/tessuvan_build.h"

namespace tessuvan::cli {

namespace {

// Individuals loaded into one engine. Every individual's numbers come from its own streams, so
// the block size changes no result; it bounds memory, since each thread holds one loaded block
// and a loaded individual costs its compiled formulas (one per species and P parameter and
// dose, about 4 KiB each). 500 keeps a 12-dose two-compartment design near 100 MiB a thread,
// where the large build's 5,000 took 1.7 GiB for two threads, at the same speed.
constexpr std::size_t kIndividualsPerState = TESSUVAN_MAX_INDIVIDUALS < 500 ? TESSUVAN_MAX_INDIVIDUALS : 500;
constexpr int kMaxThreads = 8;

// The engine loaded with individuals first..last−1 of a design, answering its rows.
struct DesignBlock {
    EngineProblem block;
    std::unique_ptr<EngineSession> session;
    estimation::EngineSimulator simulator;  // declared last: released first

    DesignBlock(const Model& model, const EngineProblem& shell, const EngineProblem& problem,
                const SimulationDesign& design, std::size_t first, std::size_t last)
        : block(shell)
    {
        block.individuals.assign(problem.individuals.begin() + long(first), problem.individuals.begin() + long(last));
        // The engine loads only a data set with observations; a design has none. The rows asked
        // for get a stand-in observation (1) in the engine's data file: with every parameter
        // fixed it weighs nothing, and the design keeps what the rows really observed.
        for (EngineIndividual& individual : block.individuals)
            for (EnginePoint& point : individual.points)
                for (const EngineRequest& request : point.requests)
                    if (request.steadyState == 0 && !(point.observed[request.slot] > 0))
                        point.observed[request.slot] = 1;
        session = std::make_unique<EngineSession>(model, block, InitialValues(model, block.individuals.size()));
        estimation::EngineBlock records = session->Block();
        for (std::size_t i = first; i < last; ++i) {
            std::vector<estimation::ObservationSlot> slots;
            for (const DesignRow& row : design[i]) slots.push_back({row.point, int(row.slot + 1)});
            records.observations.push_back(slots);
        }
        if (const int code = simulator.Load(records); code != 0) throw EngineError(EngineStage::Load, code);
    }
};

EngineProblem ShellOf(const EngineProblem& problem)
{
    EngineProblem shell = problem;  // the model's part, copied once; each block adds its individuals
    shell.individuals.clear();
    return shell;
}

}  // namespace

SimulationDesign DesignOf(const EngineProblem& problem, const DataSet& data)
{
    std::map<int, double> timeOfLine;
    for (const DataRow& row : data.rows) timeOfLine[row.line] = row.time;
    SimulationDesign design;
    for (const EngineIndividual& individual : problem.individuals) {
        std::vector<DesignRow> rows;
        for (std::size_t j = 0; j < individual.points.size(); ++j)
            for (const EngineRequest& request : individual.points[j].requests) {
                if (request.steadyState != 0) continue;  // the tool's own checks, not rows
                DesignRow row;
                row.point = int(j + 1);
                row.slot = request.slot;
                row.output = problem.outputOf[request.slot];
                row.line = request.line;
                const auto time = timeOfLine.find(request.line);
                row.time = time != timeOfLine.end() ? time->second : individual.points[j].time;
                row.dv = request.dv;
                row.censored = request.censored;
                rows.push_back(row);
            }
        std::stable_sort(rows.begin(), rows.end(),
                         [](const DesignRow& a, const DesignRow& b) { return a.line < b.line; });
        design.push_back(std::move(rows));
    }
    return design;
}

nlohmann::json ReadFitResults(const std::filesystem::path& fitFolder)
{
    const std::filesystem::path path = fitFolder / "results.json";
    std::ifstream in(path);
    if (!in) throw ModelError(path.string() + ": cannot be read (a fit folder written by 'tessuvan fit' with FOCEI)");
    nlohmann::json results = nlohmann::json::parse(in, nullptr, false);
    if (results.is_discarded() || !results.is_object() || !results.contains("theta") || !results.contains("omega"))
        throw ModelError(path.string() + ": not the results of a population estimation (no theta and omega)");
    return results;
}

simulation::VariabilityModel VariabilityOf(const Model& model, const nlohmann::json* results)
{
    simulation::VariabilityModel variability;
    variability.typical.resize(Eigen::Index(model.parameters.size()));
    for (std::size_t p = 0; p < model.parameters.size(); ++p)
        variability.typical[Eigen::Index(p)] = model.parameters[p].value;
    auto parameterNamed = [&](const std::string& name, const char* where) {
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            if (model.parameters[p].name == name && model.parameters[p].formula.empty()) return p;
        throw ModelError(
            fmt::format("results.json: {} '{}' is not a free parameter of the model {}", where, name, model.source));
    };
    if (!results) {
        const population::PopulationModel population = PopulationOf(model);
        for (const population::OmegaBlock& block : population.omega.blocks)
            for (std::size_t e = 0; e < block.Size(); ++e)
                variability.etas.push_back({block.names[e], parameterNamed(block.names[e], "omega"),
                                            block.covariance(Eigen::Index(e), Eigen::Index(e))});
        variability.blocks = population.omega.blocks;
        variability.error = population.error.value;
        return variability;
    }
    population::PopulationValues values;
    try {
        values = population::ReadPopulationJson(*results);
    } catch (const population::PopulationJsonError& error) {
        throw ModelError(error.what());
    }
    for (const auto& [name, value] : values.theta)
        variability.typical[Eigen::Index(parameterNamed(name, "theta"))] = value;
    if (!model.omegaBlocks.empty()) {
        // The blocks the model states, their covariances from the fit's omega_matrix.
        const population::EstimatedOmega& fitted = values.omegaMatrix;
        if (fitted.Empty())
            throw ModelError("results.json: no omega_matrix, which the blocks of [omega] of " + model.source +
                             " need (a fit of that model writes it)");
        const auto placeOf = [&](const std::string& name) {
            const auto at = std::find(fitted.names.begin(), fitted.names.end(), name);
            if (at == fitted.names.end())
                throw ModelError("results.json: omega_matrix.names has no '" + name + "', a parameter of a block of " +
                                 model.source);
            return Eigen::Index(at - fitted.names.begin());
        };
        population::PopulationModel population = PopulationOf(model);
        for (population::OmegaBlock& block : population.omega.blocks) {
            for (std::size_t r = 0; r < block.Size(); ++r) {
                for (std::size_t c = 0; c < block.Size(); ++c)
                    block.covariance(Eigen::Index(r), Eigen::Index(c)) =
                        fitted.covariance(placeOf(block.names[r]), placeOf(block.names[c]));
                variability.etas.push_back({block.names[r], parameterNamed(block.names[r], "omega"),
                                            block.covariance(Eigen::Index(r), Eigen::Index(r))});
            }
            Eigen::MatrixXd factor;
            if (block.Size() > 1 && !block.Factor(factor))
                throw ModelError("results.json: omega_matrix: the block of " + block.names.front() +
                                 " is not positive definite");
        }
        variability.blocks = population.omega.blocks;
    } else {
        for (const auto& [name, variance] : values.omega)
            variability.etas.push_back({name, parameterNamed(name, "omega"), variance});
        std::sort(variability.etas.begin(), variability.etas.end(),
                  [](const auto& a, const auto& b) { return a.parameter < b.parameter; });
    }
    for (const auto& [name, value] : values.sigma) {
        if (name == "additive")
            variability.error.additive = value;
        else if (name == "proportional")
            variability.error.proportional = value;
        else
            throw ModelError("results.json: unknown residual error '" + name + "' (additive or proportional)");
    }
    return variability;
}

ReplicateRun RunReplicates(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                           const simulation::VariabilityModel& variability, std::uint64_t seed,
                           const simulation::ReplicateRange& range, bool typicalPredictions, int threads,
                           const RunProgress& progress)
{
    const std::size_t individuals = problem.individuals.size();
    const int blocks = int((individuals + kIndividualsPerState - 1) / kIndividualsPerState);
    ReplicateRun run;
    run.draws.assign(std::size_t(range.Size()), std::vector<simulation::SimulatedIndividual>(individuals));
    run.pred.resize(individuals);
    const EngineProblem shell = ShellOf(problem);

    // Units of work: each block of individuals, its replicates cut into as many slices as keep
    // every thread busy. Each unit loads its block into an engine of its own and writes only its
    // own cells of the result; the numbers are the streams', whichever thread draws them.
    threads = std::max(threads, 1);
    const int slices = std::max(1, std::min(range.Size(), blocks >= threads ? 1 : (threads + blocks - 1) / blocks));
    const int units = blocks * slices;
    std::atomic<int> next{0};
    std::atomic<long> done{0};  // replicates simulated, summed over the blocks
    const double total = double(blocks) * std::max(range.Size(), 1);
    std::mutex reporting;
    std::exception_ptr failure;

    const auto runUnit = [&](int unit) {
        const int b = unit / slices, slice = unit % slices;
        const std::size_t first = std::size_t(b) * kIndividualsPerState;
        const std::size_t last = std::min(individuals, first + kIndividualsPerState);
        const simulation::ReplicateRange part = simulation::ShardReplicates(range.Size(), {slice + 1, slices});
        const simulation::ReplicateRange replicates{range.first + part.first - 1, range.first + part.last - 1};
        DesignBlock loaded(model, shell, problem, design, first, last);
        estimation::EngineSimulator& simulator = loaded.simulator;

        if (typicalPredictions && slice == 0) {
            std::vector<Eigen::VectorXd> pred;
            if (!simulation::TypicalPredictions(variability, simulator, pred))
                throw EngineError(EngineStage::Simulation, simulator.LastCode());
            std::move(pred.begin(), pred.end(), run.pred.begin() + long(first));
        }
        std::vector<std::vector<simulation::SimulatedIndividual>> draws;
        int failed = 0;
        const auto report = [&](int) {
            const long count = ++done;
            if (!progress) return;
            std::lock_guard<std::mutex> lock(reporting);
            progress(double(count) / total);
        };
        if (!simulation::SimulateReplicates(variability, simulator, seed, first, replicates, draws, failed, report))
            throw EngineError(EngineStage::Simulation, simulator.LastCode());
        for (std::size_t r = 0; r < draws.size(); ++r)
            std::move(draws[r].begin(), draws[r].end(),
                      run.draws[std::size_t(replicates.first - range.first) + r].begin() + long(first));
    };
    const auto work = [&] {
        for (int unit = next++; unit < units; unit = next++) {
            try {
                runUnit(unit);
            } catch (...) {
                std::lock_guard<std::mutex> lock(reporting);
                if (!failure) failure = std::current_exception();
                next = units;  // the others stop after their unit
            }
        }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(threads, units); ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();
    if (failure) std::rethrow_exception(failure);
    return run;
}

std::vector<Eigen::VectorXd> DesignPredictions(const Model& model, const EngineProblem& problem,
                                               const SimulationDesign& design,
                                               const std::vector<Eigen::VectorXd>& values)
{
    const std::size_t individuals = problem.individuals.size();
    std::vector<Eigen::VectorXd> predictions(individuals);
    const EngineProblem shell = ShellOf(problem);
    for (std::size_t first = 0; first < individuals; first += kIndividualsPerState) {
        const std::size_t last = std::min(individuals, first + kIndividualsPerState);
        DesignBlock loaded(model, shell, problem, design, first, last);
        std::vector<Eigen::VectorXd> part(last - first);
        if (!loaded.simulator.Predict({values.begin() + long(first), values.begin() + long(last)},
                                      std::vector<char>(last - first, 1), part))
            throw EngineError(EngineStage::Simulation, loaded.simulator.LastCode());
        std::move(part.begin(), part.end(), predictions.begin() + long(first));
    }
    return predictions;
}

int AvailableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    const int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return std::clamp(count, 1, kMaxThreads);
}

}  // namespace tessuvan::cli
