// The program as a person runs it: wrong input gives a message naming the place, a non-zero
// exit status and no result folder.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output;  // standard output and standard error together
};

Outcome RunProgram(const std::string& arguments)
{
    Outcome outcome;
    const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-program-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        model = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.toml").string();
    }
    void TearDown() override { fs::remove_all(root); }
    std::string Write(const std::string& name, const std::string& text)
    {
        std::ofstream(root / name) << text;
        return (root / name).string();
    }
    fs::path root;
    std::string model;
};

TEST_F(Program, MalformedDataIsReportedWithFileLineAndColumnAndNothingIsWritten)
{
    const std::string data = Write("bad.csv", "ID,TIME,DV,AMT,CMT,EVID,MDV\n1,0,.,4,1,1,1\n1,0.5,abc,.,2,0,0\n");
    const Outcome outcome = RunProgram("fit " + model + " " + data + " -o " + (root / "out").string());
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.output, "tessuvan: " + data + ":3:3 (DV): 'abc' is not a number\n");
    EXPECT_FALSE(fs::exists(root / "out"));
}

TEST_F(Program, AnUnknownNameInTheModelIsReportedWithItsKey)
{
    const std::string bad = Write("m.toml", "[model]\ncompartments = [\"c\"]\nrates = [\"d(c)/dt = -k*c\"]\n"
                                            "[parameters]\nke = 0.1\n[outputs]\nconc = \"c\"\n");
    const std::string data = Write("d.csv", "ID,TIME,DV,AMT\n1,0,.,4\n1,1,2,.\n");
    const Outcome outcome = RunProgram("simulate " + bad + " " + data + " -o " + (root / "out").string());
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.output,
              "tessuvan: " + bad + ":3: model.rates[1]: unknown name 'k' (at character 2 of \"-k*c\")\n");
    EXPECT_FALSE(fs::exists(root / "out"));
}

TEST_F(Program, WrongUsageExplainsItself)
{
    const Outcome outcome = RunProgram("fit");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.output.find("MODEL is required"), std::string::npos) << outcome.output;
    const Outcome help = RunProgram("simulate --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("-o,--output"), std::string::npos);
}

}  // namespace
