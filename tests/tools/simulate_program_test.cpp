// The simulation commands as a person runs them: replicates of a design without observations,
// shards joined into exactly what one run writes, and the visual predictive check of the
// theophylline fit.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

int RunTool(const std::string& arguments, std::string* output = nullptr)
{
    const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::size_t n;
    std::string text;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class SimulateProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-simulate-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        std::ofstream(root / "oral.toml") << R"([model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - CL/V*central"]
[parameters]
ka = { value = 1.2, omega = 0.2 }
CL = { value = 0.5, omega = 0.1 }
V = { value = 5 }
[outputs]
conc = "central/V"
[error]
additive = 0.05
proportional = 0.1
)";
        // A trial before it is run: doses and the times of the samples, no observation.
        std::ofstream design(root / "design.csv");
        design << "ID,TIME,DV,AMT,EVID\n";
        for (int id = 1; id <= 3; ++id) {
            design << id << ",0,.,100,1\n";
            for (double t : {0.5, 1.0, 2.0, 4.0, 8.0, 12.0}) design << id << "," << t << ",.,.,2\n";
        }
    }
    void TearDown() override { fs::remove_all(root); }
    std::string At(const std::string& name) const { return (root / name).string(); }
    fs::path root;
};

TEST_F(SimulateProgram, ShardsMergedEqualOneRunInThreadsByteForByte)
{
    const std::string run = At("oral.toml") + " " + At("design.csv") + " --replicates 7 --seed 11 -q";
    std::string output;
    // One run in three threads; the shards in one thread each.
    ASSERT_EQ(RunTool("simulate " + run + " --threads 3 -o " + At("single"), &output), 0) << output;
    ASSERT_EQ(RunTool("simulate " + run + " --threads 1 --shard 2/2 -o " + At("s2")), 0);
    ASSERT_EQ(RunTool("simulate " + run + " --threads 1 --shard 1/2 -o " + At("s1")), 0);
    ASSERT_EQ(RunTool("merge " + At("s2") + " " + At("s1") + " -o " + At("merged"), &output), 0) << output;
    for (const char* file : {"simulations.csv", "summary.csv", "simulation.json"}) {
        EXPECT_FALSE(Contents(root / "single" / file).empty()) << file;
        EXPECT_EQ(Contents(root / "single" / file), Contents(root / "merged" / file)) << file;
    }
    // 7 replicates × 3 individuals × 6 rows, and a header naming the η.
    std::ifstream table(root / "single" / "simulations.csv");
    std::string header;
    std::getline(table, header);
    EXPECT_EQ(header, "REP,ID,TIME,OUTPUT,IPRED,DV,ETA_ka,ETA_CL");
    // Without --replicates the design has nothing to compare with: said so, status 2.
    EXPECT_EQ(RunTool("simulate " + At("oral.toml") + " " + At("design.csv") + " -q -o " + At("plain"), &output), 2);
    EXPECT_NE(output.find("--replicates"), std::string::npos) << output;
    int rows = 0;
    for (std::string line; std::getline(table, line);) ++rows;
    EXPECT_EQ(rows, 7 * 3 * 6);

    // A shard missing, or one of another run, is refused.
    EXPECT_EQ(RunTool("merge " + At("s1") + " -o " + At("half"), &output), 2);
    EXPECT_NE(output.find("shards missing: 2/2"), std::string::npos) << output;
    ASSERT_EQ(RunTool("simulate " + At("oral.toml") + " " + At("design.csv") +
                      " --replicates 7 --seed 12 -q --shard 2/2 -o " + At("other")),
              0);
    EXPECT_EQ(RunTool("merge " + At("s1") + " " + At("other") + " -o " + At("mixed"), &output), 2);
    EXPECT_FALSE(fs::exists(root / "mixed"));
}

TEST_F(SimulateProgram, VpcOfTheTheophyllineFitIsWrittenWithItsPlot)
{
    const fs::path fit = root / "theophylline-fit";
    fs::create_directories(fit);
    fs::copy_file(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json", fit / "results.json");
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    std::string output;
    ASSERT_EQ(RunTool("vpc " + fit.string() + " --replicates 100 -q --data " + data + " -o " + At("vpc"), &output), 0)
        << output;
    EXPECT_TRUE(fs::exists(root / "vpc" / "vpc.png")) << output;
    // The observed median inside the 90 % interval of the simulated medians in most bins.
    std::ifstream table(root / "vpc" / "vpc.csv");
    std::string line;
    std::getline(table, line);
    int bins = 0, inside = 0;
    while (std::getline(table, line)) {
        std::vector<double> cells;
        std::stringstream row(line);
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(std::atof(cell.c_str()));
        ++bins;
        // columns: 0 OUTPUT, 1 CORRECTION, 2 BIN, 3-5 times, 6 N, then per level OBS, LOW, MEDIAN, HIGH
        if (cells[11] >= cells[12] && cells[11] <= cells[14]) ++inside;
    }
    EXPECT_EQ(bins, 20);  // 10 bins, plain and prediction-corrected
    EXPECT_GE(inside, 16);
}

// The engine takes ASCII file names; the user's folders need not be: every command runs from,
// reads from and writes into a folder whose path holds accented letters.
TEST_F(SimulateProgram, EveryCommandRunsInAFolderWithNonAsciiLetters)
{
    const fs::path here = root / "\u00c9tudes" / "caf\u00e9";
    fs::create_directories(here);
    const fs::path example = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";
    for (const char* file : {"theophylline_focei.toml", "theophylline.csv"}) fs::copy_file(example / file, here / file);
    const std::string study = " theophylline_focei.toml theophylline.csv -q -o ";
    const std::string go = "cd '" + here.string() + "' && " + TESSUVAN_PROGRAM;
    const auto run = [&](const std::string& arguments) {
        std::string output;
        const int status = std::system((go + " " + arguments + " > out.txt 2>&1").c_str());
        std::ifstream in(here / "out.txt");
        output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        EXPECT_EQ(status, 0) << arguments << ": " << output;
    };
    run("fit" + study + "fit");
    run("simulate" + study + "sim");
    run("simulate" + study + "s1 --replicates 4 --shard 1/2");
    run("simulate" + study + "s2 --replicates 4 --shard 2/2");
    run("merge s1 s2 -o merged");
    run("vpc fit --replicates 5 -q -o vpc");
    for (const char* folder : {"fit/results.json", "sim/report.txt", "merged/summary.csv", "vpc/vpc.csv"})
        EXPECT_TRUE(fs::is_regular_file(here / folder)) << folder;
}

}  // namespace
