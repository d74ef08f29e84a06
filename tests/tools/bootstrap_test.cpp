// The bootstrap of a FOCEI fit: samples that keep the strata and do not depend on how the run
// is split, shards merged into exactly what one run writes, intervals about the estimates, and
// shards of different runs refused.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "simulation/bootstrap.h"
#include "toolkit/toolkit.h"

namespace tessuvan::toolkit {
namespace {

namespace fs = std::filesystem;

const fs::path kTheophylline = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";

std::string Text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(BootstrapSamples, KeepEachStratumsSizeAndDependOnTheSampleAlone)
{
    const std::vector<int> strata{7, 7, 3, 7, 3, 3, 3, 9};
    const std::vector<std::size_t> drawn = simulation::ResampledIndividuals(5, 12, strata);
    ASSERT_EQ(drawn.size(), strata.size());
    // Stratum by stratum in the order of first appearance: four of 7, then four of 3, then 9.
    for (std::size_t k = 0; k < drawn.size(); ++k) EXPECT_EQ(strata[drawn[k]], k < 3 ? 7 : k < 7 ? 3 : 9) << k;
    EXPECT_EQ(simulation::ResampledIndividuals(5, 12, strata), drawn);
    // Without strata, 40 individuals over 50 samples: with replacement, and samples differ.
    const std::vector<int> one(40, 0);
    std::set<std::vector<std::size_t>> samples;
    bool repeated = false;
    for (int s = 1; s <= 50; ++s) {
        const std::vector<std::size_t> sample = simulation::ResampledIndividuals(5, s, one);
        repeated = repeated || std::set<std::size_t>(sample.begin(), sample.end()).size() < sample.size();
        samples.insert(sample);
    }
    EXPECT_TRUE(repeated);
    EXPECT_EQ(samples.size(), 50u);
}

class BootstrapRun : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = fs::temp_directory_path() / ("tessuvan-bootstrap-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        // The stored results of the theophylline FOCEI fit, beside its data set.
        fs::create_directories(root / "fit");
        fs::copy_file(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json",
                      root / "fit" / "results.json");
    }
    static void TearDownTestSuite() { fs::remove_all(root); }
    static BootstrapRequest Request(int index = 1, int count = 1)
    {
        BootstrapRequest request;
        request.fit = root / "fit";
        request.data = kTheophylline / "theophylline.csv";
        request.samples = 8;
        request.seed = 3;
        request.shard = {index, count};
        request.threads = count == 1 ? 2 : 1;
        return request;
    }
    static fs::path root;
};
fs::path BootstrapRun::root;

TEST_F(BootstrapRun, ShardsMergedEqualOneRunInThreadsAndTheIntervalsHoldTheEstimates)
{
    const BootstrapResult all = Bootstrap(Request());
    Write(all, root / "all");
    Write(Bootstrap(Request(2, 2)), root / "s2");
    Write(Bootstrap(Request(1, 2)), root / "s1");
    EXPECT_FALSE(fs::exists(root / "s1" / "bootstrap_summary.csv"));
    Merge({root / "s2", root / "s1"}, root / "merged");
    for (const char* file : {"bootstrap.csv", "bootstrap_summary.csv", "bootstrap.txt", "bootstrap.json"})
        EXPECT_EQ(Text(root / "merged" / file), Text(root / "all" / file)) << file;

    const cli::BootstrapTables& tables = all.tables;
    ASSERT_EQ(tables.fits.size(), 8u);
    ASSERT_EQ(tables.estimates.size(), 7u);  // three θ, three ω², the additive σ
    int converged = 0;
    for (const cli::BootstrapFit& fit : tables.fits) converged += fit.status == cli::BootstrapFit::Status::Converged;
    EXPECT_GE(converged, 6);
    for (std::size_t k = 0; k < 3; ++k) {
        std::vector<double> values;
        for (const cli::BootstrapFit& fit : tables.fits) values.push_back(fit.estimates[k]);
        const simulation::SpreadSummary spread = simulation::SummaryOf(values);
        EXPECT_LT(spread.lower, tables.fitted[k]) << tables.estimates[k].name;
        EXPECT_GT(spread.upper, tables.fitted[k]) << tables.estimates[k].name;
        EXPECT_LT(spread.lower, spread.upper);
    }
}

TEST_F(BootstrapRun, ShardsOfAnotherRunOrMissingOnesAreRefused)
{
    BootstrapRequest first = Request(1, 2), other = Request(2, 2);
    first.samples = other.samples = 2;  // one sample each
    other.seed = 4;
    Write(Bootstrap(first), root / "a1");
    Write(Bootstrap(other), root / "b2");
    EXPECT_THROW(Merge({root / "a1"}, root / "m1"), InputError);  // 2/2 missing
    EXPECT_THROW(Merge({root / "a1", root / "b2"}, root / "m2"), InputError);
    EXPECT_FALSE(fs::exists(root / "m2"));
    BootstrapRequest strata = Request();
    strata.stratify = "nocolumn";
    EXPECT_THROW(Bootstrap(strata), InputError);
}

// Through the program as a user runs it: two shards and their merge equal one run.
TEST_F(BootstrapRun, TheCommandsShardsMergedEqualItsSingleRunByteForByte)
{
    const auto run = [](const std::string& arguments) {
        const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " > /dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string common = "bootstrap " + (root / "fit").string() + " --data " +
                               (kTheophylline / "theophylline.csv").string() + " --samples 4 --seed 9 -q --threads 1";
    ASSERT_EQ(run(common + " -o " + (root / "cli-all").string()), 0);
    ASSERT_EQ(run(common + " --shard 2/2 -o " + (root / "cli-2").string()), 0);
    ASSERT_EQ(run(common + " --shard 1/2 -o " + (root / "cli-1").string()), 0);
    ASSERT_EQ(run("merge " + (root / "cli-1").string() + " " + (root / "cli-2").string() + " -o " +
                  (root / "cli-merged").string()),
              0);
    for (const char* file : {"bootstrap.csv", "bootstrap_summary.csv", "bootstrap.txt", "bootstrap.json"})
        EXPECT_EQ(Text(root / "cli-merged" / file), Text(root / "cli-all" / file)) << file;
    const std::string samples = Text(root / "cli-all" / "bootstrap.csv");
    EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), 5);  // the header and the 4 samples
}

}  // namespace
}  // namespace tessuvan::toolkit
