#include "golden_cases.h"

#include <cmath>

#include "library/random_model.h"
#include "library/theophylline_model.h"

namespace tessuvan::golden {
namespace {

// A random model of the engine tests, varied by its seed: fit codes of every kind, priors and
// prior subjects, and now and then a fault that the load must report.
void BuildVariedRandomModel(tessuvan_host::HostModel& model, uint32_t seed)
{
    testing::BuildRandomModel(model, seed, kMethods[seed % 4]);
    const int individuals = model.Init()->NIndividuals;
    if (seed % 5 != 0) {
        for (int a = 1; a <= 4; ++a) {
            const auto code = static_cast<int16_t>((seed / 4 + static_cast<uint32_t>(a)) % 4);
            for (int row = 0; row <= individuals; ++row) model.Code(row, a) = code;
        }
    }
    if (seed % 3 == 1) {
        for (int a = 1; a <= 4; ++a) model.Table()->PriorDeviations[a - 1] = 0.3f;
        model.Init()->NPopAPriori = static_cast<int16_t>(seed % 7);
    }
    if (seed % 23 == 5) model.SetMethod("RUNGE-KUTTA 6");
    if (seed % 29 == 7) model.SetOutput(1, "F1+*(A1");
    if (seed % 31 == 3) model.Init()->NIndividuals = 200;
    if (seed % 37 == 11) model.Fit()->Precision = 1e-12f;  // the step budget runs out
}

// The one-compartment oral model on 90 individuals of 14 points each: 1260 points to walk,
// enough for the walks of a simulation to run side by side.
void BuildLargePopulation(tessuvan_host::HostModel& model, const std::string& method)
{
    BInitials& init = *model.Init();
    init.NEspeces = 2;
    init.NIndividuals = 90;
    init.NInterrupts = 1;
    init.NAjustables = 3;
    init.NSorties = 1;
    model.Fit()->TypeErreurData = 1;
    model.SetMethod(method);
    model.SetParameter(1, 1.2f, FitCodePopulationAndIndividual);
    model.SetParameter(2, 0.1f, FitCodePopulationAndIndividual);
    model.SetParameter(3, 30.0f, FitCodePopulationOnly);
    model.SetOutput(1, "F2/A3");
    for (int i = 1; i <= 90; ++i) {
        model.Value(i, 1) = 1.2f + 0.01f * static_cast<float>(i % 9);
        for (int k = 0; k < 14; ++k) {
            const float t = 0.25f * static_cast<float>(k * k);
            model.AddPoint(i, 1, t, {k == 0 ? 0.0f : 10.0f * std::exp(-0.1f * t) * (1 - std::exp(-1.2f * t)) + 0.05f * static_cast<float>(i % 5)});
        }
    }
    model.SetSpecies([](int s, int i, int) { return s == 1 ? tessuvan_host::Number(300 + i) : std::string("0"); },
                     [](int) { return std::string(); },
                     [](int s, int e) { return tessuvan_host::OralCoefficient(s, e); });
    model.WriteFiles();
}

}  // namespace

std::vector<GoldenCase> GoldenCases(const std::string& theophyllineCsv)
{
    std::vector<GoldenCase> cases;
    for (uint32_t seed = 0; seed < 240; ++seed)
        cases.push_back({"random-" + std::to_string(seed), [seed](tessuvan_host::HostModel& m) { BuildVariedRandomModel(m, seed); }, 4, 2});
    for (const char* method : kMethods)
        cases.push_back({std::string("theophylline-") + method,
                         [method, theophyllineCsv](tessuvan_host::HostModel& m) { testing::BuildTheophylline(m, method, theophyllineCsv); }, 8, 3});
    for (const char* method : {"CHU-BERMAN", "RUNGE-KUTTA 4"})
        cases.push_back({std::string("large-") + method, [method](tessuvan_host::HostModel& m) { BuildLargePopulation(m, method); }, 2, 1});
    return cases;
}

}  // namespace tessuvan::golden
