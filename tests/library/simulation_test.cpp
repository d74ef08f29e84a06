// Simulation as a whole: the result file, what goes back to the host, and when nothing does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "engine_bench.h"

namespace tessuvan::testing {
namespace {

using tessuvan_host::PointRow;

class SimulationRun : public ::testing::Test {
protected:
    // One species growing with time from a dose of 10·i, two outputs "F1" and "2*F1", one
    // fitted parameter; individual 1 has points at 0, 1, 5 and individual 2 at 0, 2, records
    // interleaved in the file.
    void SetUp() override
    {
        BInitials& init = *bench.model.Init();
        init.NEspeces = 1;
        init.NIndividuals = 2;
        init.NInterrupts = 1;
        init.NAjustables = 1;
        init.NSorties = 2;
        bench.model.SetParameter(1, 3, FitCodePopulationAndIndividual);
        bench.model.Value(2, 1) = 5;
        bench.model.SetOutput(1, "F1");
        bench.model.SetOutput(2, "2*F1*A1");
        bench.model.SetSpecies([](int, int i, int) { return std::to_string(10 * i); }, [](int) { return std::string(); },
                               [](int, int) { return std::string(); });
        bench.model.AddPoint(1, 1, 0, {10, 60});
        bench.model.AddPoint(2, 1, 0, {21, 0});
        bench.model.AddPoint(1, 1, 1, {12, 66});
        bench.model.AddPoint(2, 1, 2, {22, 220});
        bench.model.AddPoint(1, 1, 5, {14, 90});
        bench.model.WriteFiles();
        bench.Load();
        ASSERT_EQ(bench.model.Fit()->Erreur, 0);
        bench.state->CurrentIntegrator = &ClockIntegrator;
    }
    EngineBench bench;
};

TEST_F(SimulationRun, TheResultFileGroupsRecordsByIndividualWithBothPredictionsAndZeroBeyondTheOutputs)
{
    bench.Simulate();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    const std::vector<PointRow> rows = bench.model.ReadResults();
    ASSERT_EQ(rows.size(), 5u);
    const int individuals[] = {1, 1, 1, 2, 2};
    const float times[] = {0, 1, 5, 0, 2};
    for (size_t n = 0; n < rows.size(); ++n) {
        EXPECT_EQ(rows[n].individual, individuals[n]);
        EXPECT_EQ(rows[n].interrupt, 1);
        EXPECT_EQ(rows[n].time, times[n]);
        for (int k = 3; k <= 20; ++k) {
            EXPECT_EQ(rows[n].values[static_cast<size_t>(k - 1)], 0);
            EXPECT_EQ(rows[n].PopulationPrediction(k), 0);
            EXPECT_EQ(rows[n].IndividualPrediction(k), 0);
        }
    }
    EXPECT_EQ(rows[2].Observed(1), 14);
    EXPECT_EQ(rows[2].Observed(2), 90);
    EXPECT_EQ(rows[2].PopulationPrediction(1), 15);
    EXPECT_EQ(rows[2].PopulationPrediction(2), 2 * 15 * 3);
    EXPECT_EQ(rows[4].IndividualPrediction(2), 2 * 22 * 5);
    EXPECT_EQ(rows[4].PopulationPrediction(2), 2 * 22 * 3);
}

TEST_F(SimulationRun, ResultsGoBackToTheHostsFitSetAndParameterTable)
{
    bench.model.Value(1, 1) = -1;  // overwritten by the current values
    bench.state->AdjustableTable[1].PV[1] = 7;
    bench.Simulate();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.model.Value(1, 1), 7);
    EXPECT_EQ(bench.model.Value(2, 1), 5);
    EXPECT_EQ(bench.model.Fit()->ErreurCalc[0], static_cast<float>(bench.state->fit.ErreurCalc[0]));
    EXPECT_GT(bench.model.Fit()->ErreurCalc[0], 0);
}

TEST_F(SimulationRun, TwoCallsGiveIdenticalFilesAndSums)
{
    bench.Simulate();
    const auto first = tessuvan_host::ReadBytes(bench.model.dataFile);
    BFitSet firstFit = *bench.model.Fit();
    bench.Simulate();
    EXPECT_EQ(tessuvan_host::ReadBytes(bench.model.dataFile), first);
    for (int n = 0; n < 3 * kMaxIndividuals + 3; ++n)
        EXPECT_EQ(bench.model.Fit()->ErreurCalc[n], firstFit.ErreurCalc[n]) << n;
}

// The result file is overwritten in place when it has the result's length, created or
// truncated otherwise: whatever the file held before, the same bytes come out.
TEST_F(SimulationRun, TheResultFileIsTheSameWhateverTheFileHeldBefore)
{
    bench.Simulate();
    const auto expected = tessuvan_host::ReadBytes(bench.model.dataFile);
    ASSERT_EQ(expected.size(), 5u * 248u);

    const auto rewriteWith = [&](std::vector<unsigned char> bytes) {
        std::filesystem::remove(bench.model.dataFile);
        if (!bytes.empty()) {
            std::ofstream(bench.model.dataFile, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        bench.model.Fit()->Erreur = 0;
        bench.Simulate();
        EXPECT_EQ(bench.model.Fit()->Erreur, 0);
        return tessuvan_host::ReadBytes(bench.model.dataFile);
    };
    EXPECT_EQ(rewriteWith(std::vector<unsigned char>(expected.size(), 0xA5)), expected);      // same length
    EXPECT_EQ(rewriteWith(std::vector<unsigned char>(expected.size() + 7, 0x5A)), expected);  // longer
    EXPECT_EQ(rewriteWith(std::vector<unsigned char>(expected.size() - 248, 0x3C)), expected); // shorter
    EXPECT_EQ(rewriteWith({}), expected);                                                       // absent
}

TEST_F(SimulationRun, AnErrorInTheLastIntervalSuppressesEveryOutput)
{
    bench.state->CurrentIntegrator = &FailingAtFiveIntegrator;
    const auto before = tessuvan_host::ReadBytes(bench.model.dataFile);
    bench.model.Fit()->ErreurCalc[0] = -3;
    bench.model.Value(1, 1) = -1;
    // Individual 2's interval (0 to 2) comes after individual 1's and clears the code: the
    // output is written, and point 3 of individual 1 carries the code 2.
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.Store().IndividualPrediction(1, 3, 1), TessuvanIntegrationStepBudget);
    EXPECT_EQ(bench.model.ReadResults()[2].IndividualPrediction(1), 2);

    // With individual 2 gone quiet (a single point), the failing interval is the last one.
    bench.Store().PointCount(2) = 1;
    bench.model.Fit()->ErreurCalc[0] = -3;
    bench.model.Value(1, 1) = -1;
    const auto written = tessuvan_host::ReadBytes(bench.model.dataFile);
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanIntegrationStepBudget);
    EXPECT_EQ(bench.model.Fit()->ErreurCalc[0], -3);
    EXPECT_EQ(bench.model.Value(1, 1), -1);
    EXPECT_EQ(tessuvan_host::ReadBytes(bench.model.dataFile), written);
    EXPECT_NE(written, before);
}

TEST_F(SimulationRun, ANonZeroIncomingCodeIsCarriedAndSuppressesTheOutput)
{
    bench.Store().PointCount(1) = 1;  // nothing integrated at all
    bench.Store().PointCount(2) = 1;
    bench.model.Fit()->Erreur = 5;
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, 10);  // the library copy kept the host's 5
}

TEST_F(SimulationRun, CountsOtherThanTheLoadedOnesAreRefused)
{
    bench.model.Init()->NIndividuals = 3;
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanContractError);
    bench.model.Init()->NIndividuals = 2;
    bench.model.Fit()->Erreur = 0;
    bench.model.Init()->NSorties = 1;
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanContractError);
}

TEST_F(SimulationRun, AResultFileThatCannotBeWrittenIsAFileError)
{
    bench.model.SetText(bench.model.Init()->FileNameDat, bench.model.directory.File("no/such/dir.dat"));
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanFileError);
}

class Release : public SimulationRun {};

TEST_F(Release, FinErasesBothFilesAndALaterSimulationFindsNoModel)
{
    bench.Simulate();
    bench.Release();
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_FALSE(bench.model.DataFileExists());
    EXPECT_FALSE(bench.model.SpeciesFileExists());
    EXPECT_EQ(bench.state->store, nullptr);
    EXPECT_EQ(bench.state->OutputFormulas[1], nullptr);
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanContractError);
    bench.model.Fit()->Erreur = 0;
    bench.Release();  // a second Fin has nothing left to do
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
}

TEST_F(Release, FinReleasesEverythingWhateverTheCodeAndReportsAFileAlreadyGone)
{
    std::remove(bench.model.dataFile.c_str());
    bench.model.Fit()->Erreur = 9;
    bench.Release();
    EXPECT_EQ(bench.model.Fit()->Erreur, 9 + TessuvanFileError);
    EXPECT_EQ(bench.state->AdjustableDefinitions[1].PE, nullptr);
    EXPECT_EQ(bench.state->OutputFormulas[2], nullptr);
    EXPECT_TRUE(bench.model.SpeciesFileExists());  // left, as the data file could not be erased
    bench.model.Fit()->Erreur = 0;
    bench.Release();
    EXPECT_FALSE(bench.model.SpeciesFileExists());
}

TEST_F(Release, ASecondRunAfterFinWorksWithOtherFiles)
{
    bench.Simulate();
    bench.Release();
    EngineBench second;
    second.state = std::move(bench.state);
    tessuvan_host::OralModel oral;
    oral.individuals = 3;
    tessuvan_host::BuildOralModel(second.model, oral);
    second.Load();
    ASSERT_EQ(second.model.Fit()->Erreur, 0);
    EXPECT_EQ(second.Store().shape().individuals, 3);
    EXPECT_EQ(second.Store().PointCount(3), 11);
    second.Release();
    EXPECT_FALSE(second.model.DataFileExists());
}

}  // namespace
}  // namespace tessuvan::testing
