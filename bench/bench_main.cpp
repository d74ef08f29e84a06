// The benchmark suite: S1 and S2 (one Simulation call: the population and then every
// individual), F1 (one Ajustement_pop iteration), F2 (one Ajustement_ind call), each through
// the shared library as a host calls it, and N1, the native twins of S1. After the timed runs
// it prints, measured in the same run, the ratio of S1 to its twin per method, whether their
// predictions agree to the last bit, the fits against S1, and the peak resident memory of each
// workload measured in a child process. The large build adds S3, a study of 2,000 individuals
// (one Simulation, one Ajustement_pop, peak memory, and the time of a Simulation of its first
// 100 to 2,000 individuals).
//
//   tessuvan_bench                      everything
//   tessuvan_bench --benchmark_filter=S1  only the S1 runs (the summary prints what it has)
#include <benchmark/benchmark.h>
#include <sched.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "native_twins.h"
#include "peak_memory.h"
#include "workloads.h"

namespace tessuvan_bench {

namespace {

using tessuvan_host::HostModel;

// One workload loaded in the library (the exports keep one model at a time). A benchmark that
// needs another releases this one first.
struct LoadedWorkload {
    std::string key;
    std::unique_ptr<HostModel> model;
};

LoadedWorkload& Loaded()
{
    static LoadedWorkload loaded;
    return loaded;
}

void ReleaseLoaded()
{
    LoadedWorkload& loaded = Loaded();
    if (loaded.model) loaded.model->Release();
    loaded.model.reset();
    loaded.key.clear();
}

// The model of key, loaded and simulated once (so the fits start from predictions); nullptr
// with a message when the library reports an error.
// S3 takes its first `individuals` individuals (all of them when 0).
HostModel* Load(const std::string& key, Workload workload, const std::string& method, std::string& problem,
                int individuals = 0)
{
    LoadedWorkload& loaded = Loaded();
    if (loaded.key == key && loaded.model) return loaded.model.get();
    ReleaseLoaded();
    auto model = std::make_unique<HostModel>();
    if (workload == Workload::S3)
        BuildStudyWorkload(*model, individuals > 0 ? individuals : kStudyIndividuals, method);
    else
        BuildWorkload(*model, workload, method);
    model->Load();
    if (model->Fit()->Erreur != 0) {
        problem = "Calcul_initial reported " + std::to_string(model->Fit()->Erreur);
        model->Release();
        return nullptr;
    }
    model->Simulate();
    if (model->Fit()->Erreur != 0) {
        problem = "Simulation reported " + std::to_string(model->Fit()->Erreur);
        model->Release();
        return nullptr;
    }
    loaded.key = key;
    loaded.model = std::move(model);
    return loaded.model.get();
}

// Narrows the calling thread (and the threads it starts) to one processor for its lifetime,
// so that the library runs its walks and finite differences one after the other.
class OneProcessor {
public:
    OneProcessor()
    {
        cpu_set_t allowed;
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        CPU_ZERO(&allowed);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &saved_)) {
                CPU_SET(cpu, &allowed);
                break;
            }
        narrowed_ = sched_setaffinity(0, sizeof allowed, &allowed) == 0;
    }
    ~OneProcessor()
    {
        if (narrowed_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;

private:
    cpu_set_t saved_{};
    bool narrowed_ = false;
};

// Times one Simulation call an iteration; an error of the engine skips the benchmark.
void TimeSimulations(benchmark::State& state, HostModel& model)
{
    for (auto _ : state) {
        model.Fit()->Erreur = 0;
        model.Simulate();
    }
    if (model.Fit()->Erreur != 0) state.SkipWithError("Simulation reported an error");
}

// One Simulation call. Narrowed to one processor (the library's walks then run one after the
// other), or on every processor the machine gives (walks side by side; wall time).
void BenchSimulation(benchmark::State& state, Workload workload, std::string method, bool everyProcessor)
{
    std::optional<OneProcessor> narrowed;
    if (!everyProcessor) narrowed.emplace();
    std::string problem;
    HostModel* model = Load((workload == Workload::S1 ? "S1:" : "S2:") + method, workload, method, problem);
    if (model == nullptr) {
        state.SkipWithError(problem.c_str());
        return;
    }
    TimeSimulations(state, *model);
}

// One Simulation of the first `individuals` individuals of S3, on one processor.
void BenchStudySimulation(benchmark::State& state, std::string method, int individuals)
{
    const OneProcessor narrowed;
    std::string problem;
    HostModel* model = Load("S3:" + method + ":" + std::to_string(individuals), Workload::S3, method, problem, individuals);
    if (model == nullptr) {
        state.SkipWithError(problem.c_str());
        return;
    }
    TimeSimulations(state, *model);
}

// One Ajustement_pop iteration of S3 (3 fitted parameters), on one processor.
void BenchStudyPopulationFit(benchmark::State& state, std::string method)
{
    const OneProcessor narrowed;
    std::string problem;
    HostModel* model = Load("S3 F1:" + method, Workload::S3, method, problem);
    if (model == nullptr) {
        state.SkipWithError(problem.c_str());
        return;
    }
    for (auto _ : state) {
        model->Fit()->Erreur = 0;
        Ajustement_pop(model->Init(), model->Fit(), nullptr, model->Table());
    }
    if (model->Fit()->Erreur != 0) state.SkipWithError("Ajustement_pop reported an error");
}

void BenchTwin(benchmark::State& state, TwinMethod method)
{
    const OneProcessor narrowed;
    TwinPredictions predictions;
    SizeTwinPredictions(BenchPopulation(), predictions);
    for (auto _ : state) {
        RunNativeTwin(method, BenchPopulation(), kPrecision, predictions);
        benchmark::DoNotOptimize(predictions.individual.data());
        benchmark::ClobberMemory();
    }
}

// F1 on one processor, or on every processor the machine gives (the finite differences in
// threads; reported in wall time, since processor time would add up the threads).
void BenchPopulationFit(benchmark::State& state, std::string method, bool everyProcessor)
{
    std::optional<OneProcessor> narrowed;
    if (!everyProcessor) narrowed.emplace();
    std::string problem;
    HostModel* model = Load((everyProcessor ? "F1 threads:" : "F1:") + method, Workload::S1, method, problem);
    if (model == nullptr) {
        state.SkipWithError(problem.c_str());
        return;
    }
    for (auto _ : state) {
        model->Fit()->Erreur = 0;
        Ajustement_pop(model->Init(), model->Fit(), nullptr, model->Table());
    }
    if (model->Fit()->Erreur != 0) state.SkipWithError("Ajustement_pop reported an error");
}

// One Ajustement_ind call per iteration, going round the individuals.
void BenchIndividualFit(benchmark::State& state, std::string method)
{
    std::string problem;
    HostModel* model = Load("F2:" + method, Workload::S1, method, problem);
    if (model == nullptr) {
        state.SkipWithError(problem.c_str());
        return;
    }
    int16_t individual = 0;
    for (auto _ : state) {
        individual = static_cast<int16_t>(individual % kIndividuals + 1);
        model->Fit()->Erreur = 0;
        Ajustement_ind(&individual, model->Init(), model->Fit(), nullptr, model->Table());
    }
    if (model->Fit()->Erreur != 0) state.SkipWithError("Ajustement_ind reported an error");
}

// The sizes at which the growth of a Simulation with the individuals is timed.
const std::vector<int>& StudyGrowth()
{
    static const std::vector<int> sizes{100, 250, 500, 1000, 2000};
    return sizes;
}

// Remembers the processor time per iteration of every run, by name, for the summary. The
// ratios use processor time, not wall time: on a shared machine the wall time of a run also
// counts the time other processes held the core.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations <= 0) continue;
            std::string name = run.benchmark_name();
            const std::string suffix = "/real_time";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                name.resize(name.size() - suffix.size());
            seconds[name] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            wallSeconds[name] = run.real_accumulated_time / static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
    std::map<std::string, double> wallSeconds;
};

// FNV-1a over the bits of 32-bit floats.
uint64_t Checksum(const std::vector<float>& values)
{
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (float value : values) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        for (int b = 0; b < 4; ++b) {
            hash ^= (bits >> (8 * b)) & 0xff;
            hash *= 0x100000001b3ULL;
        }
    }
    return hash;
}

// Runs one Simulation of S1 with the method and the twin, and compares the predictions of the
// result file with the twin's rounded to 32-bit floats as the result file holds them.
void CompareWithTwin(const std::string& method, TwinMethod twin)
{
    ReleaseLoaded();
    std::string problem;
    HostModel* model = Load("check:" + method, Workload::S1, method, problem);
    if (model == nullptr) {
        std::printf("  %-15s engine failed: %s\n", method.c_str(), problem.c_str());
        return;
    }
    std::vector<float> engine, native;
    for (const auto& row : model->ReadResults()) {
        engine.push_back(row.PopulationPrediction(1));
        engine.push_back(row.IndividualPrediction(1));
    }
    TwinPredictions predictions;
    SizeTwinPredictions(BenchPopulation(), predictions);
    RunNativeTwin(twin, BenchPopulation(), kPrecision, predictions);
    for (size_t r = 0; r < predictions.population.size(); ++r) {
        native.push_back(static_cast<float>(predictions.population[r]));
        native.push_back(static_cast<float>(predictions.individual[r]));
    }
    size_t differing = engine.size() == native.size() ? 0 : std::max(engine.size(), native.size());
    for (size_t k = 0; k < std::min(engine.size(), native.size()); ++k)
        if (std::memcmp(&engine[k], &native[k], sizeof(float)) != 0) ++differing;
    std::printf("  %-15s engine %016" PRIx64 "  twin %016" PRIx64 "  %s (%zu predictions, %zu differ)\n",
                method.c_str(), Checksum(engine), Checksum(native), differing == 0 ? "equal" : "DIFFERENT",
                engine.size(), differing);
    ReleaseLoaded();
}

void PrintSummary(const RecordingReporter& reporter)
{
    const auto& s = reporter.seconds;
    auto find = [&](const std::string& name) { auto it = s.find(name); return it == s.end() ? -1.0 : it->second; };
    const auto& wall = reporter.wallSeconds;
    auto findWall = [&](const std::string& name) { auto it = wall.find(name); return it == wall.end() ? -1.0 : it->second; };
    std::printf("\nProcessor time per population simulation (a Simulation call is two: the population, then\n"
                "every individual; the target is S1/twin at most 1.5, at best 1.2)\n");
    std::printf("  %-15s %14s %14s %8s\n", "method", "S1 (ms)", "twin (ms)", "S1/twin");
    const std::pair<std::string, std::string> pairs[] = {{"RUNGE-KUTTA 4", "N1/RUNGE-KUTTA 4"},
                                                         {"CHU-BERMAN", "N1/CHU-BERMAN"}};
    for (const auto& [method, twin] : pairs) {
        const double engine = find("S1/" + method), native = find(twin);
        if (engine < 0 || native < 0) continue;
        std::printf("  %-15s %14.3f %14.3f %8.2f\n", method.c_str(), engine / 2 * 1e3, native / 2 * 1e3,
                    engine / native);
    }
    std::printf("\nS1 with the walks side by side on every processor (wall time per Simulation call)\n");
    for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")}) {
        const double one = find("S1/" + method);
        const double every = findWall("S1 threads/" + method);
        if (one > 0 && every > 0)
            std::printf("  %-15s %10.3f ms  (one processor %10.3f ms, %.2f times faster)\n", method.c_str(), every * 1e3,
                        one * 1e3, one / every);
    }
    std::printf("\nFits against S1 on one processor with the same method (3 fitted parameters; target F1/S1\n"
                "at most 6 on one processor, below that on every processor)\n");
    for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")}) {
        const double s1 = find("S1/" + method), f1 = find("F1/" + method), f2 = find("F2/" + method);
        if (s1 > 0 && f1 > 0) std::printf("  %-15s F1 %10.3f ms  F1/S1 %6.2f  (one processor)\n", method.c_str(), f1 * 1e3, f1 / s1);
        const double f1Threads = findWall("F1 threads/" + method);
        if (s1 > 0 && f1 > 0 && f1Threads > 0)
            std::printf("  %-15s F1 %10.3f ms  F1/S1 %6.2f  (every processor, wall time; %.2f times faster)\n",
                        method.c_str(), f1Threads * 1e3, f1Threads / s1, f1 / f1Threads);
        if (s1 > 0 && f2 > 0)
            std::printf("  %-15s F2 %10.3f ms per call, %10.3f s for every individual\n", method.c_str(), f2 * 1e3,
                        f2 * kIndividuals);
    }
    if (kStudyFits) {
        std::printf("\nS3, %d individuals x (%d doses + %d observations), on one processor\n", kStudyIndividuals,
                    kStudyDoses, kStudyObservations);
        for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")}) {
            const double simulation = find("S3/" + method + "/" + std::to_string(kStudyIndividuals));
            const double fit = find("S3 F1/" + method);
            if (simulation > 0) std::printf("  %-15s Simulation %10.1f ms", method.c_str(), simulation * 1e3);
            if (simulation > 0 && fit > 0) std::printf("  Ajustement_pop %10.1f ms", fit * 1e3);
            if (simulation > 0) std::printf("\n");
        }
        std::printf("  Simulation (RUNGE-KUTTA 4) of the first n individuals: time, and time per individual\n");
        for (const int n : StudyGrowth()) {
            const double t = find("S3/RUNGE-KUTTA 4/" + std::to_string(n));
            if (t > 0) std::printf("    n = %4d %10.2f ms  %8.4f ms per individual\n", n, t * 1e3, t * 1e3 / n);
        }
    }

    std::printf("\nPredictions of S1 against the native twin (result file against twin, bit for bit)\n");
    CompareWithTwin("RUNGE-KUTTA 4", TwinMethod::RungeKutta4);
    CompareWithTwin("CHU-BERMAN", TwinMethod::ChuBerman);

    std::printf("\nPeak resident memory, each workload alone in a child process (target S1+F1 below 64 MiB)\n");
    for (const char* name : {"S1:RUNGE-KUTTA 4", "S1:CHU-BERMAN", "S1+F1:RUNGE-KUTTA 4", "S1+F1:CHU-BERMAN",
                             "S2:RUNGE-KUTTA 4", "S1+F2:RUNGE-KUTTA 4", "N1:RUNGE-KUTTA 4", "S3:RUNGE-KUTTA 4",
                             "S3+F1:CHU-BERMAN"}) {
        if (!kStudyFits && name[1] == '3') continue;
        const long kib = PeakResidentKiBOf(name);
        if (kib < 0)
            std::printf("  %-22s failed\n", name);
        else
            std::printf("  %-22s %8.1f MiB\n", name, kib / 1024.0);
    }
}

// The child's side of a memory measurement: S1 or S2 loaded and simulated once, then
// optionally one fit call; or the twin.
int RunWorkloadOnce(const std::string& name)
{
    const size_t colon = name.find(':');
    if (colon == std::string::npos) return 2;
    const std::string what = name.substr(0, colon), method = name.substr(colon + 1);
    if (what == "N1") {
        TwinPredictions predictions;
        SizeTwinPredictions(BenchPopulation(), predictions);
        RunNativeTwin(method == "CHU-BERMAN" ? TwinMethod::ChuBerman : TwinMethod::RungeKutta4, BenchPopulation(),
                      kPrecision, predictions);
    } else {
        std::string problem;
        const Workload workload = what[1] == '3' ? Workload::S3 : what == "S2" ? Workload::S2 : Workload::S1;
        HostModel* model = Load(name, workload, method, problem);
        if (model == nullptr) return 1;
        if (what == "S1+F1" || what == "S3+F1") Ajustement_pop(model->Init(), model->Fit(), nullptr, model->Table());
        if (what == "S1+F2") {
            int16_t individual = 1;
            Ajustement_ind(&individual, model->Init(), model->Fit(), nullptr, model->Table());
        }
        ReleaseLoaded();
    }
    std::printf("VmHWM %ld\n", OwnPeakResidentKiB());
    return 0;
}

void RegisterAll()
{
    if (kStudyFits) {
        for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")})
            benchmark::RegisterBenchmark(("S3/" + method + "/" + std::to_string(kStudyIndividuals)).c_str(),
                                         BenchStudySimulation, method, kStudyIndividuals)
                ->Unit(benchmark::kMillisecond);
        for (const int n : StudyGrowth())
            if (n != kStudyIndividuals)
                benchmark::RegisterBenchmark(("S3/RUNGE-KUTTA 4/" + std::to_string(n)).c_str(), BenchStudySimulation,
                                             std::string("RUNGE-KUTTA 4"), n)
                    ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("S3 F1/CHU-BERMAN", BenchStudyPopulationFit, std::string("CHU-BERMAN"))
            ->Unit(benchmark::kMillisecond);
    }
    for (const std::string& method : MethodNames())
        benchmark::RegisterBenchmark(("S1/" + method).c_str(), BenchSimulation, Workload::S1, method, false)
            ->Unit(benchmark::kMillisecond);
    for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")})
        benchmark::RegisterBenchmark(("S1 threads/" + method).c_str(), BenchSimulation, Workload::S1, method, true)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    benchmark::RegisterBenchmark("N1/RUNGE-KUTTA 4", BenchTwin, TwinMethod::RungeKutta4)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("N1/CHU-BERMAN", BenchTwin, TwinMethod::ChuBerman)
        ->Unit(benchmark::kMillisecond);
    for (const std::string& method : MethodNames())
        benchmark::RegisterBenchmark(("S2/" + method).c_str(), BenchSimulation, Workload::S2, method, false)
            ->Unit(benchmark::kMillisecond);
    for (const std::string& method : {std::string("RUNGE-KUTTA 4"), std::string("CHU-BERMAN")}) {
        benchmark::RegisterBenchmark(("F1/" + method).c_str(), BenchPopulationFit, method, false)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("F1 threads/" + method).c_str(), BenchPopulationFit, method, true)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("F2/" + method).c_str(), BenchIndividualFit, method)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

}  // namespace tessuvan_bench

int main(int argc, char** argv)
{
    using namespace tessuvan_bench;
    if (argc == 3 && std::strcmp(argv[1], "--run-workload") == 0) return RunWorkloadOnce(argv[2]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterAll();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ReleaseLoaded();
    PrintSummary(reporter);
    benchmark::Shutdown();
    return 0;
}
