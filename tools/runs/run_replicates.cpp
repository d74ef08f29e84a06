#include "runs/run_replicates.h"

#include <sched.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/engine_adapter.h"
#include "engine/engine_codes.h"
#include "engine/engine_session.h"
#include "fmt/format.h"
#include "model/population_of.h"
#include "population/population_json.h"
#include "runs/result_check.h"
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

void SetFittedBlocks(const Model& model, const population::EstimatedOmega& fitted, const std::string& source,
                     simulation::VariabilityModel& variability)
{
    const auto parameterNamed = [&](const std::string& name) {
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            if (model.parameters[p].name == name && model.parameters[p].formula.empty()) return p;
        throw ModelError(
            fmt::format("{}: omega '{}' is not a free parameter of the model {}", source, name, model.source));
    };
    if (fitted.Empty())
        throw ModelError(source + ": no omega_matrix, which the blocks of [omega] of " + model.source +
                         " need (a fit of that model writes it)");
    const auto placeOf = [&](const std::string& name) {
        const auto at = std::find(fitted.names.begin(), fitted.names.end(), name);
        if (at == fitted.names.end())
            throw ModelError(source + ": omega_matrix.names has no '" + name + "', a parameter of a block of " +
                             model.source);
        return Eigen::Index(at - fitted.names.begin());
    };
    population::PopulationModel population = PopulationOf(model);
    variability.etas.clear();
    for (population::OmegaBlock& block : population.omega.blocks) {
        for (std::size_t r = 0; r < block.Size(); ++r) {
            for (std::size_t c = 0; c < block.Size(); ++c)
                block.covariance(Eigen::Index(r), Eigen::Index(c)) =
                    fitted.covariance(placeOf(block.names[r]), placeOf(block.names[c]));
            variability.etas.push_back(
                {block.names[r], parameterNamed(block.names[r]), block.covariance(Eigen::Index(r), Eigen::Index(r))});
        }
        Eigen::MatrixXd factor;
        if (block.Size() > 1 && !block.Factor(factor))
            throw ModelError(source + ": omega_matrix: the block of " + block.names.front() +
                             " is not positive definite");
    }
    variability.blocks = population.omega.blocks;
}

simulation::VariabilityModel VariabilityOf(const Model& model, const nlohmann::json* results)
{
    simulation::VariabilityModel variability;
    variability.scales = ScalesOf(model);
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
        SetModelErrors(model, variability);
        AddOccasionEtas(model, nullptr, variability);
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
    // Every parameter with an omega in the model varies by the fit's θ and ω².
    const auto has = [](const std::vector<std::pair<std::string, double>>& member, const std::string& name) {
        return std::any_of(member.begin(), member.end(), [&](const auto& entry) { return entry.first == name; });
    };
    for (const ParameterSpec& parameter : model.parameters) {
        if (!(parameter.omega > 0) || !parameter.occasionOf.empty()) continue;
        for (const auto& [member, field] : {std::pair{&values.theta, "theta"}, std::pair{&values.omega, "omega"}})
            if (!has(*member, parameter.name))
                throw ModelError(fmt::format("results.json: {}.{} is missing (the model {} gives {} an omega)", field,
                                             parameter.name, model.source, parameter.name));
    }
    if (!model.omegaBlocks.empty()) {
        SetFittedBlocks(model, values.omegaMatrix, "results.json", variability);
    } else {
        for (const auto& [name, variance] : values.omega)
            variability.etas.push_back({name, parameterNamed(name, "omega"), variance});
        std::sort(variability.etas.begin(), variability.etas.end(),
                  [](const auto& a, const auto& b) { return a.parameter < b.parameter; });
    }
    AddOccasionEtas(model, &values.iov, variability);
    SetModelErrors(model, variability);
    // The fit's σ in place of the model's; a term the fit did not write keeps the model's value.
    for (const auto& [name, value] : values.sigma) SetSigma(model, name, value, "results.json", variability);
    return variability;
}

ReplicateDraws::ReplicateDraws(std::filesystem::path folder, const SimulationDesign& design, std::size_t etas,
                               simulation::ReplicateRange range, std::vector<Unit> units)
    : folder_(std::move(folder)), etas_(etas), range_(range), units_(std::move(units))
{
    for (const std::vector<DesignRow>& rows : design) rows_.push_back(rows.size());
}

ReplicateDraws::~ReplicateDraws()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void ReplicateDraws::Append(std::vector<double>& record, const std::vector<simulation::SimulatedIndividual>& drawn)
{
    for (const simulation::SimulatedIndividual& individual : drawn) {
        record.insert(record.end(), individual.eta.data(), individual.eta.data() + individual.eta.size());
        record.insert(record.end(), individual.ipred.data(), individual.ipred.data() + individual.ipred.size());
        record.insert(record.end(), individual.dv.data(), individual.dv.data() + individual.dv.size());
    }
}

void ReplicateDraws::ForEach(
    const std::function<void(int replicate, const std::vector<simulation::SimulatedIndividual>& drawn)>& take) const
{
    std::vector<simulation::SimulatedIndividual> drawn(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        drawn[i].eta.resize(Eigen::Index(etas_));
        drawn[i].ipred.resize(Eigen::Index(rows_[i]));
        drawn[i].dv.resize(Eigen::Index(rows_[i]));
    }
    // The units of one slice hold its replicates block by block; a slice is read whole before
    // the next, so that only one slice's files are open at a time.
    std::size_t u = 0;
    while (u < units_.size()) {
        std::vector<std::size_t> slice;
        for (; u < units_.size() && (slice.empty() || units_[u].replicates.first == units_[slice[0]].replicates.first);
             ++u)
            slice.push_back(u);
        std::vector<std::ifstream> in(slice.size());
        for (std::size_t k = 0; k < slice.size(); ++k) {
            in[k].open(units_[slice[k]].file, std::ios::binary);
            if (!in[k]) throw std::runtime_error(units_[slice[k]].file.string() + ": cannot be read back");
        }
        const simulation::ReplicateRange& replicates = units_[slice[0]].replicates;
        for (int r = replicates.first; r <= replicates.last; ++r) {
            for (std::size_t k = 0; k < slice.size(); ++k) {
                const Unit& unit = units_[slice[k]];
                for (std::size_t i = unit.firstIndividual; i < unit.lastIndividual; ++i)
                    for (Eigen::VectorXd* values : {&drawn[i].eta, &drawn[i].ipred, &drawn[i].dv})
                        in[k].read(reinterpret_cast<char*>(values->data()),
                                   std::streamsize(values->size()) * std::streamsize(sizeof(double)));
                if (!in[k])
                    throw std::runtime_error(unit.file.string() + ": cut short (replicate " + std::to_string(r) + ")");
            }
            take(r, drawn);
        }
    }
}

namespace {

// The first failure of a run in the order of replicates, then blocks, whichever thread met it:
// units still running go on only up to its replicate (a later one cannot come first).
class FirstFailure {
public:
    static constexpr int kBeforeReplicates = 0;  // a load, or PRED
    static constexpr int kCancelled = -1;        // wins over every failure

    void Record(int replicate, int block, std::exception_ptr error)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_ && std::pair(replicate, block) >= std::pair(replicate_, block_)) return;
        error_ = std::move(error);
        replicate_ = replicate;
        block_ = block;
        horizon_ = replicate;
    }
    // Whether a replicate can still matter.
    bool Wanted(int replicate) const { return replicate <= horizon_.load(); }
    void Rethrow() const
    {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr error_;
    int replicate_ = 0, block_ = 0;
    std::atomic<int> horizon_{std::numeric_limits<int>::max()};
};

// A unit's file of draws, written through a buffer; a full disk is an error naming it.
class DrawFile {
public:
    explicit DrawFile(const std::filesystem::path& path) : path_(path)
    {
        out_.rdbuf()->pubsetbuf(buffer_.data(), std::streamsize(buffer_.size()));
        out_.open(path, std::ios::binary | std::ios::trunc);
        Check();
    }
    void Write(const std::vector<double>& record)
    {
        out_.write(reinterpret_cast<const char*>(record.data()),
                   std::streamsize(record.size()) * std::streamsize(sizeof(double)));
        Check();
    }
    void Close()
    {
        out_.close();
        Check();
    }

private:
    void Check()
    {
        if (!out_) throw std::runtime_error(path_.string() + ": cannot be written (" + std::strerror(errno) + ")");
    }
    std::vector<char> buffer_ = std::vector<char>(std::size_t(1) << 20);
    std::filesystem::path path_;
    std::ofstream out_;
};

std::filesystem::path DrawsFolder(const std::filesystem::path& workFolder)
{
    static std::atomic<int> count{0};
    const std::filesystem::path folder = workFolder / fmt::format("tessuvan-draws-{}-{}", ::getpid(), ++count);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace

ReplicateRun RunReplicates(const Model& model, const EngineProblem& problem, const SimulationDesign& design,
                           const simulation::VariabilityModel& stated, std::uint64_t seed,
                           const simulation::ReplicateRange& range, bool typicalPredictions, int threads,
                           const RunProgress& progress)
{
    // Each row draws its ε from its output's error model.
    simulation::VariabilityModel variability = stated;
    if (!variability.outputErrors.empty()) {
        variability.rowOutput.clear();
        for (const std::vector<DesignRow>& rows : design) {
            std::vector<int>& outputs = variability.rowOutput.emplace_back();
            for (const DesignRow& row : rows) outputs.push_back(int(row.output));
        }
    }
    const std::size_t individuals = problem.individuals.size();
    const int blocks = int((individuals + kIndividualsPerState - 1) / kIndividualsPerState);
    const EngineProblem shell = ShellOf(problem);

    // Units of work: each block of individuals, its replicates cut into as many slices as keep
    // every thread busy, slice by slice (the order in which ReplicateDraws reads them back). Each
    // unit loads its block into an engine of its own and writes only its own file; the numbers
    // are the streams', whichever thread draws them.
    threads = std::max(threads, 1);
    const int slices = std::max(1, std::min(range.Size(), blocks >= threads ? 1 : (threads + blocks - 1) / blocks));
    const int units = blocks * slices;
    const std::filesystem::path folder = DrawsFolder(std::filesystem::temp_directory_path());
    std::vector<ReplicateDraws::Unit> plan;
    for (int slice = 0; slice < slices; ++slice)
        for (int b = 0; b < blocks; ++b) {
            const simulation::ReplicateRange part = simulation::ShardReplicates(range.Size(), {slice + 1, slices});
            const std::size_t first = std::size_t(b) * kIndividualsPerState;
            plan.push_back({first,
                            std::min(individuals, first + kIndividualsPerState),
                            {range.first + part.first - 1, range.first + part.last - 1},
                            folder / fmt::format("unit-{}.bin", plan.size() + 1)});
        }
    ReplicateRun run;
    run.draws = std::make_shared<ReplicateDraws>(folder, design, variability.etas.size(), range, plan);
    run.pred.resize(individuals);

    std::atomic<int> next{0};
    std::atomic<long> done{0};  // replicates simulated, summed over the blocks
    const double total = double(blocks) * std::max(range.Size(), 1);
    std::mutex reporting;
    FirstFailure failure;

    const auto runUnit = [&](int u) {
        const ReplicateDraws::Unit& unit = plan[std::size_t(u)];
        const int b = u % blocks;
        const std::size_t first = unit.firstIndividual, last = unit.lastIndividual;
        DrawFile file(unit.file);
        // A unit after the first failure's replicate has nothing to add; the first slice still
        // loads its block, whose load or PRED may fail before that.
        if (!failure.Wanted(u < blocks ? FirstFailure::kBeforeReplicates : unit.replicates.first)) return file.Close();
        DesignBlock loaded(model, shell, problem, design, first, last);
        estimation::EngineSimulator& simulator = loaded.simulator;

        if (typicalPredictions && u < blocks) {  // the first slice's
            std::vector<Eigen::VectorXd> pred;
            if (!simulation::TypicalPredictions(variability, simulator, pred))
                throw EngineError(EngineStage::Simulation, simulator.LastCode());
            CheckPredictionsUsable(model, problem, design, first, pred);
            std::move(pred.begin(), pred.end(), run.pred.begin() + long(first));
        }
        std::vector<double> record;
        int current = unit.replicates.first, failed = 0;
        const auto take = [&](int r, const std::vector<simulation::SimulatedIndividual>& drawn) {
            current = r;
            CheckReplicateUsable(model, problem, design, first, r, drawn);
            record.clear();
            ReplicateDraws::Append(record, drawn);
            file.Write(record);
            const long count = ++done;
            if (progress) try {
                    std::lock_guard<std::mutex> lock(reporting);
                    progress(double(count) / total);
                } catch (...) {  // asked to stop
                    failure.Record(FirstFailure::kCancelled, b, std::current_exception());
                    return false;
                }
            return failure.Wanted(r + 1);
        };
        if (!failure.Wanted(unit.replicates.first)) return file.Close();
        try {
            if (!simulation::SimulateReplicates(variability, simulator, seed, first, unit.replicates, take, failed))
                failure.Record(failed, b,
                               std::make_exception_ptr(EngineError(EngineStage::Simulation, simulator.LastCode())));
        } catch (...) {
            failure.Record(current, b, std::current_exception());
        }
        file.Close();
    };
    const auto work = [&] {
        for (int u = next++; u < units; u = next++) {
            try {
                runUnit(u);
            } catch (...) {
                failure.Record(FirstFailure::kBeforeReplicates, u % blocks, std::current_exception());
            }
        }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(threads, units); ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();
    failure.Rethrow();
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
