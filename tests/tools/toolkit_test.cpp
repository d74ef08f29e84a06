// The toolkit as a library: it leaves a host's floating-point traps as they were and never
// trips them, reads a study from texts as from files, writes each kind of fit with its own
// files, reports failures by kind and stops when asked to.
#include <unistd.h>

#include <cfenv>
#include <fstream>
#include <sstream>
#include <variant>

#include <gtest/gtest.h>

#include "toolkit/toolkit.h"

namespace tessuvan::toolkit {
namespace {

namespace fs = std::filesystem;

const fs::path kExamples = TESSUVAN_EXAMPLES_DIR;
const fs::path kTheophylline = kExamples / "theophylline";

std::string Text(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ToolkitFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-toolkit-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST(Toolkit, AHostsTrapsStayUnmaskedAndTheFoceiFitNeverTripsThem)
{
    const Study study = LoadStudy(kTheophylline / "theophylline_focei.toml", kTheophylline / "theophylline.csv");
    std::feclearexcept(FE_ALL_EXCEPT);
    const int traps = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW;
    ASSERT_NE(feenableexcept(traps), -1);
    const int rounding = std::fegetround();
    const FitResult fit = Fit(study);  // a trap would end the test with SIGFPE
    const int enabled = fegetexcept();
    const int raised = std::fetestexcept(FE_ALL_EXCEPT);
    fedisableexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(enabled, traps);
    EXPECT_EQ(raised, 0);
    EXPECT_EQ(std::fegetround(), rounding);
    ASSERT_TRUE(std::holds_alternative<PopulationFit>(fit));
    const estimation::FoceiResult& estimates = std::get<PopulationFit>(fit).estimation();
    ASSERT_EQ(estimates.theta.size(), 3u);
    EXPECT_NEAR(estimates.minus2ll, 338.41, 0.05);  // the README's figure
}

TEST_F(ToolkitFolder, AStudyFromTextsFitsAsFromFilesAndEachKindWritesItsFiles)
{
    const fs::path model = kTheophylline / "theophylline.toml", data = kTheophylline / "theophylline.csv";
    const FitResult fromFiles = Fit(LoadStudy(model, data));
    const FitResult fromTexts = Fit(StudyFromTexts(Text(model), model.string(), Text(data), data.string()));
    ASSERT_TRUE(std::holds_alternative<PooledFit>(fromFiles));
    EXPECT_EQ(std::get<PooledFit>(fromFiles).run.values.population, std::get<PooledFit>(fromTexts).run.values.population);

    const Written pooled = Write(fromFiles, root / "pooled");
    EXPECT_EQ(pooled.report, Text(root / "pooled" / "report.txt"));
    EXPECT_TRUE(fs::exists(root / "pooled" / "population.csv"));
    EXPECT_FALSE(fs::exists(root / "pooled" / "results.json"));  // a population fit's file

    const Simulation simulation = Simulate(LoadStudy(model, data));
    EXPECT_NE(Write(simulation, root / "simulation").report.find("Simulation of"), std::string::npos);
}

TEST_F(ToolkitFolder, FailuresComeByKind)
{
    const fs::path model = kTheophylline / "theophylline.toml";
    EXPECT_THROW(LoadStudy(root / "missing.toml", kTheophylline / "theophylline.csv"), InputError);
    EXPECT_THROW(StudyFromTexts(Text(model), "model.toml", "ID,TIME\n1,x\n", "data.csv"), InputError);
    EXPECT_THROW(ParseShard("3/2", 10), UsageError);
    EXPECT_THROW(ParseBins(0, "1,1"), UsageError);
    const Study study = LoadStudy(model, kTheophylline / "theophylline.csv");
    ReplicateRequest none;
    EXPECT_THROW(SimulateReplicates(study, none), UsageError);
    // A folder that is not a result is never replaced: the writing's failure.
    fs::create_directories(root / "mine");
    std::ofstream(root / "mine" / "notes.txt") << "precious";
    EXPECT_THROW(Write(Fit(study), root / "mine"), WriteError);
    EXPECT_EQ(Text(root / "mine" / "notes.txt"), "precious");
    EXPECT_THROW(Merge({root / "mine"}, root / "merged"), InputError);
}

TEST_F(ToolkitFolder, ACancelledRunStopsAndLeavesNoFolder)
{
    const Study study = LoadStudy(kTheophylline / "theophylline.toml", kTheophylline / "theophylline.csv");
    int statuses = 0;
    Callbacks callbacks;
    callbacks.status = [&](const std::string&) { ++statuses; };
    callbacks.cancelled = [&] { return statuses >= 2; };
    fs::create_directories(root / "work");
    EXPECT_THROW(Fit(study, callbacks, [&] { return root / "work"; }), Cancelled);
    EXPECT_EQ(statuses, 2);

    ReplicateRequest request;
    request.replicates = 20;
    std::vector<double> fractions;
    callbacks = {};
    callbacks.fraction = [&](double fraction) { fractions.push_back(fraction); };
    callbacks.cancelled = [&] { return fractions.size() >= 3; };
    EXPECT_THROW(SimulateReplicates(study, request, callbacks), Cancelled);
    EXPECT_EQ(fractions.size(), 3u);
}

TEST(Toolkit, TheReadmeQuotesTheExampleProgram)
{
    const std::string readme = Text(TESSUVAN_README);
    std::string quoted;
    std::istringstream program(Text(kExamples / "facade" / "fit_theophylline.cpp"));
    for (std::string line; std::getline(program, line);) quoted += (line.empty() ? "" : "    " + line) + "\n";
    EXPECT_NE(readme.find(quoted), std::string::npos) << "README.md should quote examples/facade/fit_theophylline.cpp";
}

}  // namespace
}  // namespace tessuvan::toolkit
