// The commands refuse what would put a non-finite number, or the engine's stand-in 1e130 for
// a division by 0, into a results file, and the files that do not make one run; each refusal
// names its cause, exits with its status and leaves no results folder.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "results/file_digest.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output;
};

// The program with the arguments, run from the folder `from` when given.
Outcome Tool(const std::string& arguments, const std::string& from = "")
{
    Outcome outcome;
    const std::string folder = from.empty() ? std::string() : "cd '" + from + "' && ";
    FILE* pipe = popen((folder + TESSUVAN_PROGRAM + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

constexpr const char* kModel = R"([model]
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
)";

class Refusal : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-refusal-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        Write("oral.toml", kModel);
        Write("design.csv", Design("100"));
    }
    void TearDown() override { fs::remove_all(root); }
    static std::string Design(const std::string& dose)
    {
        std::string text = "ID,TIME,DV,AMT,EVID\n";
        for (int id = 1; id <= 2; ++id) {
            text += std::to_string(id) + ",0,.," + dose + ",1\n";
            for (const char* t : {"1", "2", "4", "8"}) text += std::to_string(id) + "," + t + ",.,.,2\n";
        }
        return text;
    }
    std::string Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(root / name, std::ios::binary) << text;
        return At(name);
    }
    std::string At(const std::string& name) const { return (root / name).string(); }
    // Expects the status and the message, and no folder `out`.
    void Refused(const std::string& arguments, int status, const std::string& message) const
    {
        const Outcome outcome = Tool(arguments + " -o " + At("out"));
        EXPECT_EQ(outcome.status, status) << outcome.output;
        EXPECT_EQ(outcome.output.rfind("tessuvan: ", 0), 0u) << outcome.output;
        EXPECT_NE(outcome.output.find(message), std::string::npos) << outcome.output;
        EXPECT_FALSE(fs::exists(root / "out"));
    }
    // The theophylline fit's results, with one text replaced.
    fs::path FitFolder(const std::string& from = "", const std::string& to = "") const
    {
        const fs::path fit = root / "fit";
        fs::create_directories(fit);
        std::string text = Contents(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json");
        if (!from.empty()) text = std::regex_replace(text, std::regex(from), to, std::regex_constants::format_first_only);
        std::ofstream(fit / "results.json", std::ios::binary) << text;
        return fit;
    }
    fs::path root;
};

TEST_F(Refusal, ReplicatesRefuseValuesAndPredictionsThatAreNotFinite)
{
    const std::string replicates = " --replicates 3 -q";
    std::string model = kModel;
    Refused("simulate " + Write("inf.toml", std::regex_replace(model, std::regex("0\\.2 \\}"), "inf }")) + " " +
                At("design.csv") + replicates,
            2, "inf.toml:5: parameters.ka.omega: must be a finite number");
    Refused("simulate " + Write("huge.toml", std::regex_replace(model, std::regex("1\\.2"), "1e308")) + " " +
                At("design.csv") + replicates,
            2, "huge.toml:5: parameters.ka.value: 1e+308 is beyond the largest 32-bit float");
    // A volume of 0: the engine's stand-in 1e130 for the division, not a prediction.
    const std::string zero = std::regex_replace(model, std::regex("value = 5"), "value = 0, estimate = \"fixed\"");
    Refused("simulate " + Write("zero.toml", zero) + " " + At("design.csv") + replicates,
            3, "zero.toml: the simulated IPRED of output 'conc' for individual 1 at time 1 (data set line 3, replicate 1) is "
               "1e+130 (1e130 or beyond");
}

TEST_F(Refusal, FitResultsOutOfRangeAreRefusedByFromAndVpc)
{
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    const std::string model = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline_focei.toml").string();
    const std::string results = (root / "fit" / "results.json").string();
    FitFolder("\"variance\": 0.4249559705", "\"variance\": -0.5");
    Refused("vpc " + At("fit") + " --replicates 3 -q --data " + data, 2,
            results + ": omega.ka.variance: -0.5 is not a finite variance >= 0");
    Refused("simulate " + model + " " + data + " --replicates 3 -q --from " + At("fit"), 2,
            results + ": omega.ka.variance: -0.5");
    FitFolder("\"value\": 1.617709098", "\"value\": 1e308");
    Refused("vpc " + At("fit") + " --replicates 3 -q --data " + data, 2, results + ": theta.ka.value: 1e+308");
    FitFolder("\"value\": 1.617709098", "\"value\": \"fast\"");
    Refused("vpc " + At("fit") + " --replicates 3 -q --data " + data, 2, results + ": ");
}

// Without sigma a simulation from the fit would draw no residual error, without a θ or ω² the
// model file's value or no variability: each missing member is named with the file.
TEST_F(Refusal, FromAndVpcRefuseResultsMissingWhatTheyDrawFrom)
{
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    const std::string model = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline_focei.toml").string();
    const std::string results = (root / "fit" / "results.json").string();
    FitFolder("\"sigma\": \\{", "\"no_sigma\": {");
    Refused("vpc " + At("fit") + " --replicates 3 -q --data " + data, 2,
            results + ": sigma is missing or not an object (a FOCEI fit writes it)");
    Refused("simulate " + model + " " + data + " --replicates 3 -q --from " + At("fit"), 2,
            results + ": sigma is missing");
    FitFolder("\"additive\": \\{\"value\"", "\"multiplicative\": {\"value\"");
    Refused("simulate " + model + " " + data + " --replicates 3 -q --from " + At("fit"), 2,
            results + ": unknown residual error 'multiplicative'");
    FitFolder(",\\s*\"CL\": \\{\"variance\"[^}]*\\}", "");
    Refused("simulate " + model + " " + data + " --replicates 3 -q --from " + At("fit"), 2,
            results + ": omega.CL is missing (the model " + model + " gives CL an omega)");
}

// A warning of the model file is said before the run, so that a fit it makes fail names it.
TEST_F(Refusal, AnUnreadEstimatedParameterIsNamedBeforeTheFitFails)
{
    const std::string text =
        "[model]\ncompartments = [\"central\"]\nrates = [\"d(central)/dt = -CL/V*central\"]\n"
        "[parameters]\nCL = { value = 0.5 }\nV = { value = 5 }\nkx = { value = 2 }\n"
        "[outputs]\nconc = \"central/V\"\n";
    std::string data = "ID,TIME,DV,AMT,EVID\n";
    for (int id = 1; id <= 3; ++id) {
        data += std::to_string(id) + ",0,.,100,1\n";
        for (const char* t : {"1", "2", "4", "8"}) data += std::to_string(id) + "," + t + ",5,.,0\n";
    }
    const Outcome outcome =
        Tool("fit " + Write("unread.toml", text) + " " + Write("d.csv", data) + " -q -o " + At("out"));
    EXPECT_NE(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("tessuvan: warning: " + At("unread.toml") + ":7: parameters.kx: estimated, but no"),
              std::string::npos)
        << outcome.output;
}

TEST_F(Refusal, FitRefusesTheEnginesStandInForADivisionByZero)
{
    std::string model = kModel;
    model = std::regex_replace(model, std::regex("V = \\{ value = 5 \\}"), "V = { value = 0, estimate = \"fixed\" }");
    std::string data = "ID,TIME,DV,AMT,EVID\n";
    for (int id = 1; id <= 4; ++id) {
        data += std::to_string(id) + ",0,.,100,1\n";
        for (const char* t : {"1", "2", "4", "8"}) data += std::to_string(id) + "," + t + ",5,.,0\n";
    }
    Refused("fit " + Write("zero.toml", model + "[fit]\nestimation = \"focei\"\n") + " " + Write("zero.csv", data) + " -q",
            3, "zero.toml: the population prediction of output 'conc' for individual 1 at time 1 (data set line 3) is");
}

TEST_F(Refusal, VpcFindsTheFitsDataSetBesideItAndRefusesAnotherOfTheSameName)
{
    const fs::path data = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv";
    const std::string digest = tessuvan::cli::FileDigest(data);
    const fs::path fit = FitFolder("\"data_file\": \"[^\"]*\"", "\"data_file\": \"data.csv\", \"data_digest\": \"" + digest + "\"");
    fs::copy_file(data, fit / "data.csv");
    // Another data.csv in the folder the command is run from: the fit's is the one beside it.
    Write("data.csv", std::regex_replace(Contents(data), std::regex("\n1,0\\.25,2\\.84"), "\n1,0.25,28.4"));
    const Outcome beside = Tool("vpc fit --replicates 3 -q -o " + At("vpc"), root.string());
    EXPECT_EQ(beside.status, 0) << beside.output;
    fs::remove(fit / "data.csv");
    const Outcome other = Tool("vpc fit --replicates 3 -q -o " + At("out"), root.string());
    EXPECT_EQ(other.status, 2) << other.output;
    EXPECT_NE(other.output.find("tessuvan: data.csv: not the data set of the fit (its digest fnv1a64:"), std::string::npos)
        << other.output;
    EXPECT_NE(other.output.find("differs from fit/results.json's run.data_digest " + digest), std::string::npos)
        << other.output;
    EXPECT_FALSE(fs::exists(root / "out"));
}

TEST_F(Refusal, SeedsOutsideSixtyFourBitsAreRefusedNotWrapped)
{
    const std::string run = "simulate " + At("oral.toml") + " " + At("design.csv") + " --replicates 2 -q --seed ";
    Refused(run + "18446744073709551616", 1, "--seed: 18446744073709551616 is beyond 18446744073709551615");
    Refused(run + "-1", 1, "--seed");
    Refused("vpc " + FitFolder().string() + " --seed 1e3", 1, "--seed");
    EXPECT_EQ(Tool(run + "18446744073709551615 -o " + At("largest")).status, 0);
}

TEST_F(Refusal, MessagesShowNulBytesAndBinsWithoutRows)
{
    FitFolder("\"data_file\": \"[^\"]*\"", "\"data_file\": \"da\\u0000ta.csv\"");
    Refused("vpc " + At("fit") + " -q", 1, "da\\0ta.csv is not found");
    const Outcome binned = Tool("simulate " + At("oral.toml") + " " + At("design.csv") +
                               " --replicates 2 -q --bin-edges 0,3,100,200 -o " + At("binned"));
    EXPECT_EQ(binned.status, 0) << binned.output;
    EXPECT_NE(binned.output.find("tessuvan: warning: --bin-edges: bin 3 (100 to 200) of output 'conc' holds no row"),
              std::string::npos)
        << binned.output;
}

TEST_F(Refusal, MergeRefusesShardsWhoseRowsOrFilesAreNotThoseOfOneRun)
{
    const std::string run = At("oral.toml") + " " + At("design.csv") + " --replicates 4 --seed 3 -q --shard ";
    ASSERT_EQ(Tool("simulate " + run + "1/2 -o " + At("s1")).status, 0);
    ASSERT_EQ(Tool("simulate " + run + "2/2 -o " + At("s2")).status, 0);
    const auto copy = [&](const std::string& from, const std::string& to) {
        fs::copy(root / from, root / to, fs::copy_options::recursive);
        return At(to);
    };
    const auto replaced = [&](const std::string& folder, const std::string& file, const std::string& from,
                              const std::string& to) {
        const std::string text = Contents(root / folder / file);
        std::ofstream(root / folder / file, std::ios::binary) << std::regex_replace(text, std::regex(from), to);
    };
    const std::string shard1 = At("s1") + " ", shard2 = " " + At("s2");

    copy("s1", "cut");
    const std::string rows = Contents(root / "cut" / "simulations.csv");
    std::ofstream(root / "cut" / "simulations.csv", std::ios::binary) << rows.substr(0, rows.rfind('\n', rows.size() - 2) + 1);
    Refused("merge " + At("cut") + shard2, 2, "simulations.csv: 15 rows up to replicate 2, where shard 1/2 wrote 16");

    copy("s1", "swapped");
    fs::copy_file(root / "s2" / "simulations.csv", root / "swapped" / "simulations.csv", fs::copy_options::overwrite_existing);
    Refused("merge " + At("swapped") + shard2, 2, "simulations.csv:2: REP 3 is not shard 1/2's next");

    Write("design.csv", Design("200"));  // the design edited under the same name
    ASSERT_EQ(Tool("simulate " + run + "2/2 -o " + At("edited")).status, 0);
    Refused("merge " + shard1 + At("edited"), 2, "data_digest differs from " + At("s1"));

    copy("s2", "huge");
    replaced("huge", "simulation.json", "\"count\": 2", "\"count\": 1000000000");
    Refused("merge " + shard1 + At("huge"), 2, "shard.count 1000000000 beyond the 4 replicates");
}

}  // namespace
