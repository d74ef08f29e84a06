// Results appear whole or not at all; engine codes read as causes; weights as the engine's.
#include <unistd.h>

#include <cmath>
#include <fstream>

#include <gtest/gtest.h>

#include "engine/engine_codes.h"
#include "results/output_folder.h"
#include "runs/run.h"

namespace tessuvan::cli {
namespace {

namespace fs = std::filesystem;

class OutputFolders : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-output-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }
    static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
    fs::path root;
};

TEST_F(OutputFolders, AnUncommittedRunLeavesNothingBehind)
{
    {
        OutputFolder folder(root / "out");
        Write(folder.staging() / "population.csv", "half");
    }
    EXPECT_TRUE(fs::is_empty(root));
}

TEST_F(OutputFolders, AMessageAboutItsFilesNamesTheFolderAsTheUserGaveIt)
{
    OutputFolder folder(root / "out");
    const std::string message = "\"" + (folder.work() / "plots.gp").string() + "\" line 3: cannot open " +
                                (folder.staging() / "x.png").string();
    EXPECT_EQ(folder.Shown(message), "\"" + (root / "out" / "plots.gp").string() + "\" line 3: cannot open " +
                                         (root / "out" / "x.png").string());
}

TEST_F(OutputFolders, ACommitReplacesAnEarlierResultWhole)
{
    {
        OutputFolder first(root / "out");
        Write(first.staging() / "old.csv", "old");
        first.Commit();
    }
    OutputFolder second(root / "out");
    Write(second.staging() / "new.csv", "new");
    EXPECT_TRUE(fs::exists(root / "out" / "old.csv"));  // untouched until the commit
    second.Commit();
    EXPECT_FALSE(fs::exists(root / "out" / "old.csv"));
    EXPECT_TRUE(fs::exists(root / "out" / "new.csv"));
    EXPECT_FALSE(fs::exists(root / "out" / ".work"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
}

TEST_F(OutputFolders, AFolderThatIsNotAResultIsNeverReplaced)
{
    fs::create_directories(root / "mine");
    Write(root / "mine" / "thesis.tex", "precious");
    EXPECT_THROW(OutputFolder(root / "mine"), std::runtime_error);
    EXPECT_TRUE(fs::exists(root / "mine" / "thesis.tex"));
}

TEST_F(OutputFolders, WhatAppearsAtTheTargetDuringARunIsKeptAndTheCommitFails)
{
    OutputFolder folder(root / "out");
    Write(folder.staging() / "population.csv", "new");
    fs::create_directories(root / "out");
    Write(root / "out" / "notes.txt", "the user's");
    EXPECT_THROW(folder.Commit(), std::runtime_error);
    EXPECT_TRUE(fs::exists(root / "out" / "notes.txt"));
    EXPECT_FALSE(fs::exists(root / "out" / "population.csv"));
}

TEST_F(OutputFolders, AnEmptyPrivateFolderKeepsItsModeAndStaleStagingIsRemoved)
{
    fs::create_directories(root / "out");
    fs::permissions(root / "out", fs::perms::owner_all);
    // The staging folder of a run killed outright: a process number no process has.
    const fs::path stale = root / "out.partial-999999999";
    fs::create_directories(stale);
    Write(stale / ".tessuvan-results", "marker");
    const fs::path foreign = root / "out.partial-999999998";  // not ours: kept
    fs::create_directories(foreign);
    OutputFolder folder(root / "out");
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(foreign));
    ASSERT_EQ(folder.notes().size(), 1u);
    folder.Commit();
    EXPECT_EQ(fs::status(root / "out").permissions() & fs::perms::all, fs::perms::owner_all);
}

// A code is read only as far as the tool's own checks make it unambiguous.
TEST(EngineCodes, CodesAreReadOnlyWhereTheyAreUnambiguous)
{
    // The tool checks the method, the observations and the formulas before the load, so a
    // small load code names nothing; the fixed codes alone still do.
    const std::string nine = DescribeEngineCode(EngineStage::Load, 9, "CHU-BERMAN");
    EXPECT_EQ(nine.find("method name is unknown"), std::string::npos) << nine;
    EXPECT_NE(nine.find("its load codes add up"), std::string::npos) << nine;
    EXPECT_EQ(DescribeEngineCode(EngineStage::Load, 1000),
              "the engine reported code 1000 while loading the model: the engine could not read or write its working "
              "files");
    EXPECT_EQ(DescribeEngineCode(EngineStage::Load, 1003),
              "the engine reported code 1003 while loading the model (a sum of codes that does not name its causes)");
    // A method was selected: 4 in a fit is the solver's, and 1 depends on the method.
    const std::string four = DescribeEngineCode(EngineStage::PopulationFit, 4, "RUNGE-KUTTA 4");
    EXPECT_EQ(four.find("no integration method"), std::string::npos) << four;
    EXPECT_NE(four.find("the normal equations are singular"), std::string::npos) << four;
    EXPECT_NE(DescribeEngineCode(EngineStage::Simulation, 1, "CHU-BERMAN").find("a CHU-BERMAN step fell below 1e-130"),
              std::string::npos);
    EXPECT_EQ(DescribeEngineCode(EngineStage::Simulation, 1, "RUNGE-KUTTA 5").find("CHU-BERMAN"), std::string::npos);
    EXPECT_EQ(DescribeEngineCode(EngineStage::Simulation, 3),
              "the engine reported code 3 while simulating: two points of one individual have the same time once "
              "stored as 32-bit floats");
    EXPECT_NE(DescribeEngineCode(EngineStage::IndividualFit, 4000).find("reached the value 0"), std::string::npos);
    // The step ceiling: a precision far too fine, or one interval far too long.
    const std::string ceiling = DescribeEngineCode(EngineStage::Simulation, 6, "CHU-BERMAN");
    EXPECT_NE(ceiling.find("fit.precision is far too small"), std::string::npos) << ceiling;
    EXPECT_NE(ceiling.find("a TIME of the data set is mistyped"), std::string::npos) << ceiling;
}

TEST(Weights, TheScaleMakesTheGeometricMeanOfWeightedSquaredResidualsOne)
{
    std::vector<Observation> observations(3);
    const double dv[] = {1.0, 4.0, 9.0};
    const double pred[] = {1.5, 3.0, 9.0 + 1e-3};
    for (int j = 0; j < 3; ++j) {
        observations[j].dv = dv[j];
        observations[j].pred = pred[j];
    }
    for (double gamma : {0.0, 1.0, 2.0}) {
        const double s = WeightScale(observations, gamma);
        double logSum = 0;
        for (const Observation& o : observations)
            logSum += std::log(s * std::pow(o.dv, -gamma) * (o.pred - o.dv) * (o.pred - o.dv));
        EXPECT_NEAR(logSum / 3, 0.0, 1e-12) << gamma;
    }
    // A perfect prediction takes no part; with none left the scale is 1.
    observations.resize(1);
    observations[0].pred = observations[0].dv;
    EXPECT_EQ(WeightScale(observations, 2.0), 1.0);
}

}  // namespace
}  // namespace tessuvan::cli
