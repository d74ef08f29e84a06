// Faults a host can run into, injected through the exported entry points on the one
// process-wide library: files missing, short or unwritable, files removed before Fin, and
// entry points called out of order. Each fault must give its documented code, must not take
// the process down, and must leave nothing behind: every test ends with a complete, successful
// run in the same process (the sanitizer build also fails any test that leaks).
#include <sys/wait.h>
#include <unistd.h>

#include <cfenv>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "abi/host_model.h"

namespace tessuvan_host {
namespace {

namespace fs = std::filesystem;

// A host's complete run of the oral model: load, simulate, read the results, release.
void ExpectACompleteRunWorks()
{
    HostModel model;
    OralModel oral;
    oral.individuals = 2;
    BuildOralModel(model, oral);
    model.Load();
    ASSERT_EQ(model.Fit()->Erreur, TessuvanOk);
    model.Simulate();
    ASSERT_EQ(model.Fit()->Erreur, TessuvanOk);
    const auto rows = model.ReadResults();
    ASSERT_EQ(rows.size(), 2 * oral.times.size());
    EXPECT_NEAR(rows[3].PopulationPrediction(1), oral.Concentration(oral.times[3]), 1e-2);
    model.Release();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanOk);
    EXPECT_FALSE(model.DataFileExists());
    EXPECT_FALSE(model.SpeciesFileExists());
}

class HostFault : public ::testing::Test {
protected:
    void SetUp() override { BuildOralModel(model, oral); }

    int16_t Erreur() { return model.Fit()->Erreur; }
    void ClearCode() { model.Fit()->Erreur = 0; }
    void TruncateFile(const std::string& path, uintmax_t bytes) { fs::resize_file(path, bytes); }
    void SimulateCallsOutOfOrderAreRefused()
    {
        ClearCode();
        model.Simulate();
        EXPECT_EQ(Erreur(), TessuvanContractError) << "Simulation";
        ClearCode();
        Ajustement_pop(model.Init(), model.Fit(), nullptr, model.Table());
        EXPECT_EQ(Erreur(), TessuvanContractError) << "Ajustement_pop";
        ClearCode();
        int16_t individual = 1;
        Ajustement_ind(&individual, model.Init(), model.Fit(), nullptr, model.Table());
        EXPECT_EQ(Erreur(), TessuvanContractError) << "Ajustement_ind";
        ClearCode();
    }

    HostModel model;
    OralModel oral;
};

// ---- files ------------------------------------------------------------------------------------

TEST_F(HostFault, AMissingDataFileIsAFileErrorAndNoModelIsLeftToSimulate)
{
    fs::remove(model.dataFile);
    model.Load();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    SimulateCallsOutOfOrderAreRefused();
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanFileError);  // the data file is not there to erase
    ClearCode();
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanOk);  // the species file went with the second Fin
    EXPECT_FALSE(model.SpeciesFileExists());
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, ADataFileCutShortIsAFileErrorWhereverItEnds)
{
    // Fewer whole records than NPoints, then a record cut in the middle, then an empty file.
    for (uintmax_t bytes : {uintmax_t{3 * kRecordBytes}, uintmax_t{10 * kRecordBytes + 100}, uintmax_t{0}}) {
        SCOPED_TRACE(bytes);
        model.WriteFiles();
        TruncateFile(model.dataFile, bytes);
        ClearCode();
        model.Load();
        EXPECT_EQ(Erreur(), TessuvanFileError);
        SimulateCallsOutOfOrderAreRefused();
        model.Release();
        EXPECT_EQ(Erreur(), TessuvanOk);
        EXPECT_FALSE(model.DataFileExists());
    }
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AMissingSpeciesFileIsAFileError)
{
    fs::remove(model.speciesFile);
    model.Load();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    SimulateCallsOutOfOrderAreRefused();
    model.Release();
    EXPECT_FALSE(model.DataFileExists());
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AFileNameUnderAFileIsAFileError)
{
    // Root ignores permissions, so an unreachable path is made from the file system's shape.
    model.SetText(model.Init()->FileNameDat, model.speciesFile + "/data.dat");
    model.Load();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    model.Release();
    ClearCode();
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AResultFileThatCannotBeWrittenIsAFileErrorAndTheRunGoesOn)
{
    model.Load();
    ASSERT_EQ(Erreur(), TessuvanOk);
    // The data file's path becomes a directory after the load: no file can be created there.
    fs::remove(model.dataFile);
    fs::create_directory(model.dataFile);
    model.Simulate();
    EXPECT_EQ(Erreur(), TessuvanFileError);

    // The model stays loaded: once the path is a file again, the next Simulation writes it.
    fs::remove(model.dataFile);
    ClearCode();
    model.Simulate();
    EXPECT_EQ(Erreur(), TessuvanOk);
    EXPECT_EQ(model.ReadResults().size(), oral.times.size());
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanOk);
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AResultFileNamedUnderAFileIsAFileError)
{
    model.Load();
    ASSERT_EQ(Erreur(), TessuvanOk);
    model.SetText(model.Init()->FileNameDat, model.speciesFile + "/result.dat");
    model.Simulate();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    ClearCode();
    model.Release();  // the data file of the load is still the one to erase
    EXPECT_EQ(Erreur(), TessuvanOk);
    EXPECT_FALSE(model.DataFileExists());
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, FilesRemovedBeforeFinAreReportedAndEverythingIsStillReleased)
{
    model.Load();
    model.Simulate();
    ASSERT_EQ(Erreur(), TessuvanOk);
    fs::remove(model.dataFile);
    fs::remove(model.speciesFile);
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    ClearCode();
    SimulateCallsOutOfOrderAreRefused();
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AnInvalidFileNameTextIsAFileError)
{
    model.Init()->FileNameEsp.vt = 3;  // a number, not a text
    model.Load();
    EXPECT_EQ(Erreur(), TessuvanFileError);
    model.Init()->FileNameEsp.vt = TessuvanTextBstr;
    ClearCode();
    model.Release();
    ExpectACompleteRunWorks();
}

// ---- the host's floating-point environment ---------------------------------------------------

TEST_F(HostFault, AHostThatUnmasksTrapsKeepsThemAndTheEngineNeverTraps)
{
    // Every term would trap if the engine ran with the host's traps: a logarithm of 0, a
    // division by 0 and a square root of -1 (folded while the load simplifies the formula).
    model.SetOutput(1, "F2/A3+0*LN(0*F1)+0*F1/(A1-A1)+0*(0-1)^0.5");
    const int traps = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW;
    feclearexcept(FE_ALL_EXCEPT);
    ASSERT_NE(feenableexcept(traps), -1);
    model.Load();
    const int afterLoad = fegetexcept();
    model.Simulate();
    const int afterSimulation = fegetexcept();
    const int16_t simulationCode = Erreur();
    model.Release();
    const int afterFin = fegetexcept();
    fedisableexcept(FE_ALL_EXCEPT);

    EXPECT_EQ(afterLoad, traps);
    EXPECT_EQ(afterSimulation, traps);
    EXPECT_EQ(afterFin, traps);
    EXPECT_EQ(simulationCode, TessuvanOk);
    ExpectACompleteRunWorks();
}

// ---- calling order ----------------------------------------------------------------------------

TEST(CallingOrder, EveryCallBeforeAnyLoadIsAContractErrorInAFreshProcess)
{
    // A child process has never loaded anything; its exit status carries the verdict. The
    // model is the parent's, so that its files are removed when the parent is done.
    HostModel model;
    BuildOralModel(model, OralModel{});
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        int wrong = 0;
        model.Simulate();
        wrong += model.Fit()->Erreur != TessuvanContractError;
        model.Fit()->Erreur = 0;
        Ajustement_pop(model.Init(), model.Fit(), nullptr, model.Table());
        wrong += model.Fit()->Erreur != TessuvanContractError;
        model.Fit()->Erreur = 0;
        int16_t individual = 1;
        Ajustement_ind(&individual, model.Init(), model.Fit(), nullptr, model.Table());
        wrong += model.Fit()->Erreur != TessuvanContractError;
        model.Fit()->Erreur = 0;
        model.Release();  // nothing loaded, nothing to erase
        wrong += model.Fit()->Erreur != TessuvanOk;
        wrong += !model.DataFileExists();  // Fin erases only files of a run
        _exit(wrong);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostFault, CallsAfterFinAreContractErrorsAndFinTwiceIsHarmless)
{
    model.Load();
    ASSERT_EQ(Erreur(), TessuvanOk);
    model.Release();
    ASSERT_EQ(Erreur(), TessuvanOk);
    SimulateCallsOutOfOrderAreRefused();
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanOk);
    model.Release();
    EXPECT_EQ(Erreur(), TessuvanOk);
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, AFailedLoadAllowsNoSimulationOrFit)
{
    model.SetMethod("RUNGE-KUTTA 6");
    model.Load();
    EXPECT_GE(Erreur(), TessuvanUnknownMethod);
    SimulateCallsOutOfOrderAreRefused();

    // A formula error fails the load just as well.
    model.SetMethod("RUNGE-KUTTA 4");
    model.SetOutput(1, "F2/(A3");
    model.Load();
    EXPECT_GT(Erreur(), 0);
    SimulateCallsOutOfOrderAreRefused();
    model.Release();
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, ALoadOverALoadedModelReplacesIt)
{
    model.Load();
    ASSERT_EQ(Erreur(), TessuvanOk);
    HostModel other;
    OralModel bigger;
    bigger.individuals = 3;
    BuildOralModel(other, bigger);
    other.Load();
    ASSERT_EQ(other.Fit()->Erreur, TessuvanOk);
    other.Simulate();
    EXPECT_EQ(other.Fit()->Erreur, TessuvanOk);
    EXPECT_EQ(other.ReadResults().size(), 3 * bigger.times.size());
    // The first model's counts no longer match what is loaded.
    model.Simulate();
    EXPECT_EQ(Erreur(), TessuvanContractError);
    other.Release();
    ExpectACompleteRunWorks();
}

TEST_F(HostFault, MissingRecordsAreRefusedWithoutTouchingTheOthers)
{
    model.Load();
    ASSERT_EQ(Erreur(), TessuvanOk);
    // No BFitSet: nowhere to report, so nothing is done.
    Calcul_initial(model.Init(), nullptr, model.Table(), model.PTexts(), model.QValues(), model.Outputs());
    Simulation(model.Init(), nullptr, nullptr, model.Table());
    Ajustement_pop(model.Init(), nullptr, nullptr, model.Table());
    Fin(model.Init(), nullptr);
    model.Simulate();
    EXPECT_EQ(Erreur(), TessuvanContractError);  // the Fin without BFitSet still released

    ClearCode();
    Simulation(nullptr, model.Fit(), nullptr, model.Table());
    EXPECT_EQ(Erreur(), TessuvanContractError);
    ClearCode();
    Calcul_initial(nullptr, model.Fit(), model.Table(), model.PTexts(), model.QValues(), model.Outputs());
    EXPECT_EQ(Erreur(), TessuvanContractError);
    ClearCode();
    Ajustement_ind(nullptr, model.Init(), model.Fit(), nullptr, model.Table());
    EXPECT_EQ(Erreur(), TessuvanContractError);
    ClearCode();
    Fin(nullptr, model.Fit());
    ExpectACompleteRunWorks();
}

}  // namespace
}  // namespace tessuvan_host
