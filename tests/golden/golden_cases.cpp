// The cases of the golden corpus. Everything is drawn from fixed seeds, so the list is the
// same in every run; a change here (or in the model builders it uses) changes the recorded
// digests, which must then be recorded again from the engine before any change to it.
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "golden_run.h"
#include "library/random_model.h"
#include "library/theophylline_model.h"

namespace tessuvan::golden {

namespace {

using tessuvan_host::HostModel;

struct Method {
    const char* name;
    const char* tag;
};
const Method kMethods[] = {
    {"CHU-BERMAN", "cb"}, {"RUNGE-KUTTA QC", "rkqc"}, {"RUNGE-KUTTA 4", "rk4"}, {"RUNGE-KUTTA 5", "rk5"}};

// The random models: seed s takes method s % 4, the sequence (s / 4) % 3, the fit codes and
// priors (s / 12) % 4 and 1 to 3 interrupts by (s / 48) % 3.
constexpr uint32_t kRandomModels = 240;

// Codes of every kind, rotating over the parameters and the individuals' rows.
void MixFitCodes(HostModel& model, uint32_t seed)
{
    for (int a = 1; a <= model.Init()->NAjustables; ++a)
        for (int row = 0; row <= model.Init()->NIndividuals; ++row)
            model.Code(row, a) = static_cast<int16_t>((static_cast<uint32_t>(a + row) + seed) % 4);
}

// Prior deviations on two parameters, a prior centre apart from the values, prior subjects.
void AddPriors(HostModel& model)
{
    model.Init()->NPopAPriori = 5;
    model.Table()->PriorDeviations[0] = 0.3f;
    model.Table()->PriorDeviations[1] = 0.05f;
    const int centre = model.Init()->NIndividuals + 1;
    model.Value(centre, 1) *= 1.2f;
    model.Value(centre, 2) *= 0.7f;
}

void RandomCase(Run& run, uint32_t seed)
{
    HostModel& model = run.model();
    testing::RandomModelShape shape;
    shape.interrupts = 1 + static_cast<int>(seed / 48 % 3);
    testing::BuildRandomModel(model, seed, kMethods[seed % 4].name, shape);
    if (seed % 4 >= 2) model.Fit()->Precision = 1e-2f;  // ten fixed steps per interval
    const uint32_t codes = seed / 12 % 4;
    if (codes & 1) MixFitCodes(model, seed);
    if (codes & 2) AddPriors(model);
    run.Load();
    run.Simulate();
    switch (seed / 4 % 3) {
        case 0:  // a simulation, another at moved values
            model.Value(0, 1) *= 1.25f;
            model.Value(2, 3) *= 0.8f;
            run.Simulate();
            break;
        case 1:
            run.PopulationUntilDone(6);
            run.Simulate();
            break;
        default:
            run.FitSequence(4, 3);
            run.Simulate();
            break;
    }
    run.Release();
}

// Enough points to walk (about 1200) that the walks of a simulation run side by side.
void LargeRandomCase(Run& run, uint32_t seed, const char* method)
{
    testing::BuildRandomModel(run.model(), seed, method, testing::RandomModelShape{40, 3, 28, 5});
    run.Load();
    run.Simulate();
    run.PopulationUntilDone(2);
    run.IndividualUntilDone(1, 2);
    run.IndividualUntilDone(40, 2);
    run.Simulate();
    run.Release();
}

// The oral model of 60 individuals × 20 points, ka started away from the observations' value.
void LargeOralCase(Run& run, const char* method)
{
    tessuvan_host::OralModel oral;
    oral.individuals = 60;
    oral.times = {0, 0.25, 0.5, 1, 1.5, 2, 3, 4, 6, 8, 10, 12, 12.5, 13, 14, 16, 18, 20, 22, 24};
    HostModel& model = run.model();
    model.SetMethod(method);
    model.Fit()->Precision = 1e-3f;
    tessuvan_host::BuildOralModel(model, oral);
    for (int row = 0; row <= oral.individuals + 1; ++row) model.Value(row, 1) *= 1.4f;
    run.Load();
    run.Simulate();
    run.PopulationUntilDone(2);
    for (int16_t i = 1; i <= 2; ++i) run.IndividualUntilDone(i, 2);
    run.Simulate();
    run.Release();
}

void TheophyllineCase(Run& run, const std::string& csv, const char* method, int populationCap, int individualCap)
{
    testing::BuildTheophylline(run.model(), method, csv);
    run.Load();
    run.Simulate();
    run.FitSequence(populationCap, individualCap);
    run.Simulate();
    run.Release();
}

// After a load that failed: every call, Fin twice, then the counts restored, the model mended,
// its files written again (Fin erased them) and loaded afresh.
void FailedLoadCase(Run& run, void (*spoil)(HostModel&), void (*mend)(HostModel&))
{
    HostModel& model = run.model();
    testing::BuildRandomModel(model, 7, "RUNGE-KUTTA 4");
    const BInitials counts = *model.Init();
    spoil(model);
    run.Load();
    run.Simulate();
    run.Population();
    run.Individual(1);
    run.Release();
    run.Release();
    std::memcpy(&model.Init()->NEspeces, &counts.NEspeces, offsetof(BInitials, NSorties) + 2 - offsetof(BInitials, NEspeces));
    if (mend != nullptr) mend(model);
    model.WriteFiles();
    run.Load();
    run.Simulate();
    run.Release();
}

struct Spoiled {
    const char* name;
    void (*spoil)(HostModel&);
    void (*mend)(HostModel&);  // besides the counts and the files
};

void MendOutput(HostModel& model) { model.SetOutput(1, "F1+A1*0.1"); }
void NoObservations(HostModel& model, size_t from)
{
    for (size_t r = from; r < model.data.size(); ++r) model.data[r].values.fill(0);
    model.WriteFiles();
}

const Spoiled kSpoiled[] = {
    {"output-syntax", [](HostModel& m) { m.SetOutput(1, "F1+*2"); }, MendOutput},
    {"output-index", [](HostModel& m) { m.SetOutput(1, "F1+A99+P31"); }, MendOutput},
    {"output-literal", [](HostModel& m) { m.SetOutput(1, "1.2.3+F1"); }, MendOutput},
    {"output-parentheses", [](HostModel& m) { m.SetOutput(1, "EX((F1)"); }, MendOutput},
    {"species-text", [](HostModel& m) { m.speciesLines[0] = "A1+("; m.WriteFiles(); },
     [](HostModel& m) { m.speciesLines[0] = "1"; }},
    {"p-text", [](HostModel& m) { m.SetPText(1, 1, "Q9+"); }, [](HostModel& m) { m.SetPText(1, 1, "Q1"); }},
    {"self-definition", [](HostModel& m) { m.SetDefinition(2, "A2*2"); }, [](HostModel& m) { m.SetDefinition(2, ""); }},
    {"definition-syntax", [](HostModel& m) { m.SetDefinition(4, "A1^^2"); }, [](HostModel& m) { m.SetDefinition(4, ""); }},
    {"unknown-method", [](HostModel& m) { m.SetMethod("RUNGE-KUTTA 6"); }, [](HostModel& m) { m.SetMethod("CHU-BERMAN"); }},
    {"no-method", [](HostModel& m) { m.SetMethod(""); }, [](HostModel& m) { m.SetMethod("RUNGE-KUTTA 5"); }},
    {"species-over", [](HostModel& m) { m.Init()->NEspeces = MaxSpecies + 1; }, nullptr},
    {"individuals-negative", [](HostModel& m) { m.Init()->NIndividuals = -1; }, nullptr},
    {"interrupts-over", [](HostModel& m) { m.Init()->NInterrupts = MaxInterrupts + 1; }, nullptr},
    {"adjustables-over", [](HostModel& m) { m.Init()->NAjustables = MaxAdjustables + 1; }, nullptr},
    {"outputs-over", [](HostModel& m) { m.Init()->NSorties = MaxOutputs + 1; }, nullptr},
    {"p-over", [](HostModel& m) { m.Init()->NPParametres = MaxPParameters + 1; }, nullptr},
    {"q-negative", [](HostModel& m) { m.Init()->NQParametres = -3; }, nullptr},
    {"points-beyond-file", [](HostModel& m) { m.Init()->NPoints = static_cast<int16_t>(m.data.size() + 5); }, nullptr},
    {"data-file-missing", [](HostModel& m) { m.SetText(m.Init()->FileNameDat, m.directory.File("absent.dat")); }, nullptr},
    {"species-file-missing", [](HostModel& m) { m.SetText(m.Init()->FileNameEsp, m.directory.File("absent.txt")); },
     nullptr},
    {"individual-out-of-range", [](HostModel& m) { m.data[2].individual = 9; m.WriteFiles(); },
     [](HostModel& m) { m.data[2].individual = 1; }},
    {"interrupt-out-of-range", [](HostModel& m) { m.data[1].interrupt = 5; m.WriteFiles(); },
     [](HostModel& m) { m.data[1].interrupt = 1; }},
    {"no-observation", [](HostModel& m) { NoObservations(m, 0); },
     [](HostModel& m) { for (auto& row : m.data) row.values[0] = 1.5f; }},
    {"too-few-observations", [](HostModel& m) { NoObservations(m, 1); },
     [](HostModel& m) { for (auto& row : m.data) row.values[1] = 0.5f; }},
};

// A successful load, then calls the host should not make.
void MisuseCase(Run& run)
{
    HostModel& model = run.model();
    run.Simulate();  // nothing loaded yet
    run.Population();
    run.Individual(1);
    run.Release();
    testing::BuildRandomModel(model, 11, "CHU-BERMAN");
    run.Load();
    run.Simulate();
    for (const int16_t i : {0, 4, -1}) run.Individual(i);
    model.Init()->NIndividuals = 2;  // counts other than the loaded model's
    run.Simulate();
    run.Population();
    model.Init()->NIndividuals = 3;
    const float value = model.Value(0, 1);
    model.Value(0, 1) = 0;  // a fitted population value of 0
    run.Population();
    model.Value(0, 1) = value;
    run.Population();
    run.Release();
    run.Simulate();  // after Fin
    run.Individual(2);
    run.Release();
    model.WriteFiles();  // Fin erased them
    run.Load();
    run.Simulate();
    run.Release();
}

// Integration failures: tolerance 0 or not a number, a stiff loss that exhausts the adaptive
// methods' step budget, an individual whose times go backwards.
void IntegrationCase(Run& run, const char* method, int kind)
{
    HostModel& model = run.model();
    testing::BuildRandomModel(model, 21, method);
    if (kind == 0) model.Fit()->Precision = 0;
    if (kind == 1) model.Fit()->Precision = std::numeric_limits<float>::quiet_NaN();
    if (kind == 2) {
        model.speciesLines[static_cast<size_t>(3 * 2 + 1)] = "-A1*1E5";  // A(1,1) of species 1
        model.WriteFiles();
    }
    if (kind == 3) {
        std::swap(model.data[1].time, model.data[2].time);
        model.WriteFiles();
    }
    run.Load();
    run.Simulate();
    run.Population();
    run.Individual(1);
    run.Release();
}

// Models whose walks read what an earlier walk left, and a fitted parameter with a definition:
// the walks keep the sequential order there.
void CarryingCase(Run& run, const char* method, int kind)
{
    HostModel& model = run.model();
    testing::BuildRandomModel(model, 3, method);
    if (kind == 0) model.SetPText(1, 1, "0.5+P2");
    if (kind == 1) model.SetPText(1, 2, "0.5+F1");
    if (kind == 2) model.SetDefinition(4, "A1*0.5+P1");
    if (kind == 3) {
        model.SetDefinition(2, "A3+A4");
        model.SetDefinition(4, "A1*0.5+A3");
    }
    model.WriteFiles();
    run.Load();
    run.Simulate();
    run.FitSequence(3, 2);
    run.Simulate();
    run.Release();
}

}  // namespace

std::vector<GoldenCase> GoldenCases(const std::string& dataDirectory)
{
    std::vector<GoldenCase> cases;
    const auto add = [&](std::string name, std::function<void(Run&)> play) {
        cases.push_back(GoldenCase{std::move(name), std::move(play)});
    };
    for (uint32_t seed = 1; seed <= kRandomModels; ++seed)
        add("random-" + std::to_string(seed) + "-" + kMethods[seed % 4].tag, [seed](Run& run) { RandomCase(run, seed); });
    for (const Method& method : kMethods) {
        add(std::string("large-random-") + method.tag, [&method](Run& run) { LargeRandomCase(run, 1000, method.name); });
        add(std::string("large-oral-") + method.tag, [&method](Run& run) { LargeOralCase(run, method.name); });
        for (int kind = 0; kind < 4; ++kind) {
            static const char* const kIntegration[] = {"zero-precision", "nan-precision", "stiff", "backwards"};
            add(std::string("integration-") + kIntegration[kind] + "-" + method.tag,
                [&method, kind](Run& run) { IntegrationCase(run, method.name, kind); });
            static const char* const kCarrying[] = {"p-reads-p", "p-reads-amount", "definition-reads-p", "fitted-definition"};
            add(std::string("carrying-") + kCarrying[kind] + "-" + method.tag,
                [&method, kind](Run& run) { CarryingCase(run, method.name, kind); });
        }
    }
    for (const Spoiled& spoiled : kSpoiled)
        add(std::string("failed-load-") + spoiled.name,
            [&spoiled](Run& run) { FailedLoadCase(run, spoiled.spoil, spoiled.mend); });
    add("misuse", MisuseCase);
    const std::string csv = dataDirectory + "/theoph.csv";
    add("theophylline-cb", [csv](Run& run) { TheophyllineCase(run, csv, "CHU-BERMAN", 30, 10); });
    add("theophylline-rk4", [csv](Run& run) { TheophyllineCase(run, csv, "RUNGE-KUTTA 4", 3, 1); });
    return cases;
}

}  // namespace tessuvan::golden
