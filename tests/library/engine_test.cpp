// The engine's C++ interface: a load from memory is the load from the files, a formula check
// names what fails, and every call leaves the caller's floating-point environment as it was.
#include "entry/engine.h"

#include <fenv.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "abi/host_model.h"

namespace tessuvan {
namespace {

using tessuvan_host::HostModel;

void BuildModel(HostModel& model)
{
    tessuvan_host::OralModel oral;
    oral.individuals = 3;
    tessuvan_host::BuildOralModel(model, oral);
    model.SetParameter(1, 1.0f, FitCodePopulationAndIndividual);
    model.SetParameter(2, 0.2f, FitCodePopulationAndIndividual);
    model.SetParameter(3, 25.0f, FitCodeFixed);
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The data file's records as a host holds them in memory (the file is the memory's layout).
std::vector<TessuvanPointRecord> Records(const std::string& path)
{
    const std::string bytes = FileText(path);
    std::vector<TessuvanPointRecord> records(bytes.size() / sizeof(TessuvanPointRecord));
    std::memcpy(records.data(), bytes.data(), records.size() * sizeof(TessuvanPointRecord));
    return records;
}

void Load(Engine& engine, HostModel& model)
{
    engine.Load(model.Init(), model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs());
}

void LoadFromMemory(Engine& engine, HostModel& model)
{
    engine.Load(model.Init(), model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs(),
                Records(model.dataFile), FileText(model.speciesFile));
}

void Iterate(Engine& engine, HostModel& model)
{
    model.Fit()->Erreur = 0;
    engine.Simulate(model.Init(), model.Fit(), nullptr, model.Table());
    ASSERT_EQ(model.Fit()->Erreur, 0);
    engine.PopulationIteration(model.Init(), model.Fit(), nullptr, model.Table());
    int16_t second = 2;
    engine.IndividualIteration(&second, model.Init(), model.Fit(), nullptr, model.Table());
    ASSERT_EQ(model.Fit()->Erreur, 0);
}

TEST(Engine, ALoadFromMemoryIsTheLoadFromTheFilesAndWritesNoFile)
{
    HostModel fromFiles, fromMemory;
    BuildModel(fromFiles);
    BuildModel(fromMemory);
    const std::string data = FileText(fromMemory.dataFile);
    Engine a, b;
    Load(a, fromFiles);
    LoadFromMemory(b, fromMemory);
    ASSERT_EQ(fromFiles.Fit()->Erreur, 0);
    ASSERT_EQ(fromMemory.Fit()->Erreur, 0);
    Iterate(a, fromFiles);
    Iterate(b, fromMemory);

    const auto expected = a.Predictions();
    const auto predictions = b.Predictions();
    ASSERT_EQ(predictions.size(), 3u);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(predictions[i].size(), expected[i].size());
        for (std::size_t j = 0; j < expected[i].size(); ++j) {
            EXPECT_EQ(predictions[i][j].time, expected[i][j].time);
            EXPECT_EQ(predictions[i][j].observed, expected[i][j].observed);
            EXPECT_EQ(predictions[i][j].population, expected[i][j].population);
            EXPECT_EQ(predictions[i][j].individual, expected[i][j].individual);
        }
    }
    EXPECT_EQ(std::memcmp(fromFiles.Fit()->ErreurCalc, fromMemory.Fit()->ErreurCalc, sizeof fromFiles.Fit()->ErreurCalc), 0);
    EXPECT_EQ(std::memcmp(fromFiles.Table()->Values, fromMemory.Table()->Values, sizeof fromFiles.Table()->Values), 0);

    // The individual walk at double values, as the estimation runs it.
    const double values[] = {1.1, 0.25, 25};
    EXPECT_EQ(a.SimulateIndividual(2, values), 0);
    EXPECT_EQ(b.SimulateIndividual(2, values), 0);
    EXPECT_EQ(a.IndividualPrediction(2, 4, 1), b.IndividualPrediction(2, 4, 1));
    EXPECT_EQ(b.UsedValue(2, 2), 0.25);
    EXPECT_EQ(b.SimulateIndividual(4, values), TessuvanContractError);

    // The memory's model rewrote no result file and Fin erases nothing.
    EXPECT_EQ(FileText(fromMemory.dataFile), data);
    fromMemory.Fit()->Erreur = 0;
    b.Release(fromMemory.Init(), fromMemory.Fit());
    EXPECT_EQ(fromMemory.Fit()->Erreur, 0);
    EXPECT_TRUE(fromMemory.DataFileExists() && fromMemory.SpeciesFileExists());
    EXPECT_TRUE(b.Predictions().empty());
}

TEST(Engine, TooFewPointsInMemoryAreTheShortFile)
{
    HostModel model;
    BuildModel(model);
    std::vector<TessuvanPointRecord> records = Records(model.dataFile);
    records.pop_back();
    Engine engine;
    engine.Load(model.Init(), model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs(), records,
                FileText(model.speciesFile));
    EXPECT_EQ(model.Fit()->Erreur, TessuvanFileError);
}

TEST(Engine, AFormulaCheckNamesWhatFails)
{
    const FormulaCheck fine = Engine::CheckFormula("P1*(F2+EX(-A1*T))", {});
    EXPECT_EQ(fine.errors, 0);
    EXPECT_EQ(fine.depth, 2);

    EXPECT_GT(Engine::CheckFormula("P1*(F2", {}).errors, 0);
    EXPECT_GT(Engine::CheckFormula("P1*Z2", {}).errors, 0);

    // Steps are counted past the 256 one part holds, and that is an error.
    std::string sum = "F1";
    for (int n = 1; n < 300; ++n) sum += "+F1";
    const FormulaCheck tooLong = Engine::CheckFormula(sum, {});
    EXPECT_EQ(tooLong.steps, 300);
    EXPECT_GT(tooLong.errors, 0);

    // A defined parameter is compiled where it is read, one part deeper.
    const FormulaCheck defined = Engine::CheckFormula("A2*2", {"", "(A1+1)*3"});
    EXPECT_EQ(defined.errors, 0);
    EXPECT_EQ(defined.depth, 2);
}

TEST(Engine, UnmaskedTrapsNeitherFireNorChange)
{
    HostModel model;
    BuildModel(model);
    model.SetOutput(1, "EX(800)*F2/A3-EX(800)");  // an overflow, then inf - inf: invalid
    fenv_t before;
    fegetenv(&before);
    feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW);
    const int enabled = fegetexcept();
    Engine engine;
    Load(engine, model);
    engine.Simulate(model.Init(), model.Fit(), nullptr, model.Table());
    const double values[] = {1e300, 1e-300, 0};
    engine.SimulateIndividual(1, values);
    EXPECT_EQ(fegetexcept(), enabled);
    EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT), 0);
    fesetenv(&before);
}

}  // namespace
}  // namespace tessuvan
