// The program as a person runs it: wrong input gives a message naming the place, a non-zero
// exit status and no result folder.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

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
    const std::string bad = Write("m.toml",
                                  "[model]\ncompartments = [\"c\"]\nrates = [\"d(c)/dt = -k*c\"]\n"
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

TEST_F(Program, AnUnknownCommandOrOptionListsTheCommandsAndVersionPrintsTheVersion)
{
    for (const char* arguments : {"fitt a.toml b.csv", "fit --bogus a.toml b.csv", ""}) {
        const Outcome outcome = RunProgram(arguments);
        EXPECT_EQ(outcome.status, 1) << arguments;
        EXPECT_NE(outcome.output.find("The commands:\n  fit "), std::string::npos) << outcome.output;
        EXPECT_NE(outcome.output.find("  compare "), std::string::npos) << outcome.output;
    }
    EXPECT_NE(RunProgram("fitt").output.find("tessuvan: unknown command 'fitt'"), std::string::npos);
    const Outcome version = RunProgram("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string("tessuvan ") + TESSUVAN_VERSION + "\n");
}

TEST_F(Program, CompareTabulatesFitsAgainstTheFirstAndRefusesAFolderWithoutResults)
{
    const fs::path stored = fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json";
    for (const char* name : {"a", "b"}) {
        fs::create_directories(root / name);
        fs::copy_file(stored, root / name / "results.json");
    }
    const Outcome outcome = RunProgram("compare " + (root / "a").string() + " " + (root / "b").string());
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("    2      338.4114     0.0000"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("theta ka"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("omega CL"), std::string::npos) << outcome.output;
    fs::create_directories(root / "empty");
    const Outcome refused = RunProgram("compare " + (root / "a").string() + " " + (root / "empty").string());
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.output.find("tessuvan: " + (root / "empty" / "results.json").string() + ": cannot be read"),
              std::string::npos)
        << refused.output;
    // Estimates of the wrong JSON type: refused, naming the key, not tabulated as dashes.
    std::ifstream in(stored);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const auto& [from, to, key] : {std::tuple{"\"theta\": {", "\"theta\": [], \"x\": {", "'theta' is array"},
                                        std::tuple{"\"value\"", "\"valu\"", "'theta.ka' holds no number"}}) {
        std::string changed = text;
        changed.replace(changed.find(from), std::string(from).size(), to);
        fs::create_directories(root / "wrong");
        Write("wrong/results.json", changed);
        const Outcome wrong = RunProgram("compare " + (root / "a").string() + " " + (root / "wrong").string());
        EXPECT_EQ(wrong.status, 2) << wrong.output;
        EXPECT_NE(wrong.output.find(key), std::string::npos) << wrong.output;
    }
}

// The theophylline example with its text changed: each `from` replaced by its `to`.
std::string Changed(std::string text, const std::vector<std::pair<std::string, std::string>>& changes)
{
    for (const auto& [from, to] : changes) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    return text;
}

std::string Repeated(int count, const std::function<std::string(int)>& term, const std::string& separator)
{
    std::string text;
    for (int i = 0; i < count; ++i) text += (i == 0 ? "" : separator) + term(i);
    return text;
}

// Each case names its cause (never one the engine's overlapping codes suggest), starts with
// "tessuvan:", exits with the README's status and leaves no results.
TEST_F(Program, EveryInputErrorGivesItsCauseAndItsStatus)
{
    std::ifstream example(model);
    const std::string base{std::istreambuf_iterator<char>(example), std::istreambuf_iterator<char>()};
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    const std::string longOutput = Repeated(
        150, [](int) { return "central/V"; }, " + ");
    const std::string manyNumbers = Repeated(
        4,
        [](int g) {
            return "(" +
                   Repeated(
                       50, [g](int i) { return std::to_string(1000 + 50 * g + i) + "*central"; }, "+") +
                   ")";
        },
        "+");
    struct Case {
        std::string name;
        std::string arguments;
        int status;
        std::string message;  // a part of the output
    };
    const std::string out = " -o " + (root / "out").string();
    const std::vector<Case> cases = {
        {"a formula of 300 steps",
         "fit " + Write("long.toml", Changed(base, {{"conc = \"central/V\"", "conc = \"" + longOutput + "\""}})) + " " +
             data,
         2, "long.toml: outputs.conc: the formula needs 300 steps in one part"},
        {"200 distinct numbers",
         "fit " + Write("numbers.toml", Changed(base, {{"conc = \"central/V\"", "conc = \"" + manyNumbers + "\""}})) +
             " " + data,
         2, "numbers.toml: outputs.conc: the formulas handed to the engine use 211 distinct numbers"},
        {"a fixed volume of 0",
         "simulate " +
             Write("zero.toml", Changed(base, {{"V  = { value = 0.5 }", "V  = { value = 0, estimate = \"fixed\" }"}})) +
             " " + data,
         2, "zero.toml: the population prediction of output 'conc' for individual 1 at time 0.25"},
        {"a precision below the smallest single",
         "fit " + Write("tiny.toml", Changed(base, {{"precision = 1e-6", "precision = 1e-50"}})) + " " + data, 2,
         "fit.precision: 1e-50 is below the smallest normal 32-bit float"},
        {"a data set that does not exist", "fit " + model + " " + (root / "none.csv").string(), 2,
         "tessuvan: " + (root / "none.csv").string() + ": does not exist\n"},
        {"a data set that is a folder", "fit " + model + " " + root.string(), 2,
         "tessuvan: " + root.string() + ": is a folder, not a file\n"},
        {"a model that does not exist", "simulate " + (root / "none.toml").string() + " " + data, 2,
         "tessuvan: " + (root / "none.toml").string() + ": does not exist\n"},
        {"an output folder that is a file", "simulate " + model + " " + data + " -o " + Write("taken", "x"), 4,
         "is a file; choose another with -o"},
        {"an unknown option", "fit " + model + " " + data + " --fast", 1, "tessuvan: The following argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = RunProgram(c.arguments + (c.arguments.find(" -o ") == std::string::npos ? out : ""));
        EXPECT_EQ(outcome.status, c.status) << outcome.output;
        EXPECT_EQ(outcome.output.rfind("tessuvan: ", 0), 0u) << outcome.output;
        EXPECT_NE(outcome.output.find(c.message), std::string::npos) << outcome.output;
        EXPECT_FALSE(fs::exists(root / "out"));
    }
}

// A FOCEI fit at a mistyped precision of 1e-20 has no finite −2LL anywhere: with each method it
// ends as the pooled fit does, exit 3 naming the ceiling of steps, in seconds, and leaves no
// folder behind. The fixed-step methods and CHU-BERMAN reach the engine's ceiling in every
// interval; RUNGE-KUTTA QC, whose steps would instead stop advancing and end each interval
// unchecked, is refused before the run with the same words.
class FoceiAtATinyPrecision : public Program, public ::testing::WithParamInterface<const char*> {};

TEST_P(FoceiAtATinyPrecision, EndsWithTheStepCeiling)
{
    const fs::path example = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";
    std::ifstream in(example / "theophylline_focei.toml");
    const std::string base{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string stiff = Write(
        "stiff.toml", Changed(base, {{"method = \"RUNGE-KUTTA QC\"", "method = \"" + std::string(GetParam()) + "\""},
                                     {"precision = 1e-6", "precision = 1e-20"}}));
    const Outcome outcome = RunProgram("fit " + stiff + " " + (example / "theophylline.csv").string() + " --quiet -o " +
                                       (root / "out").string());
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("integration steps, the most the engine takes"), std::string::npos) << outcome.output;
    for (const auto& entry : fs::directory_iterator(root))
        EXPECT_EQ(entry.path().filename().string().rfind("out", 0), std::string::npos) << entry.path();
}

INSTANTIATE_TEST_SUITE_P(EveryMethod, FoceiAtATinyPrecision,
                         ::testing::Values("RUNGE-KUTTA 4", "RUNGE-KUTTA 5", "CHU-BERMAN", "RUNGE-KUTTA QC"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-' || c == ' ') c = '_';
                             return name;
                         });

// The tool's count is the engine's: 128 terms of two steps make the 256 the engine compiles.
TEST_F(Program, AFormulaOfExactly256StepsLoads)
{
    std::ifstream example(model);
    const std::string base{std::istreambuf_iterator<char>(example), std::istreambuf_iterator<char>()};
    const std::string output = Repeated(
        128, [](int) { return "central/V"; }, " + ");
    const std::string full = Write("full.toml", Changed(base, {{"conc = \"central/V\"", "conc = \"" + output + "\""}}));
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    const Outcome outcome = RunProgram("simulate " + full + " " + data + " -q -o " + (root / "out").string());
    EXPECT_EQ(outcome.status, 0) << outcome.output;
}

// A signal during a fit removes the partial results and ends the process by that signal; an
// earlier result is left as it was.
TEST_F(Program, ASignalDuringAFitLeavesNoPartialResults)
{
    std::ifstream example(model);
    const std::string base{std::istreambuf_iterator<char>(example), std::istreambuf_iterator<char>()};
    // A fit of some seconds: a fixed-step method at a fine step.
    const std::string slow =
        Write("slow.toml", Changed(base, {{"method = \"CHU-BERMAN\"", "method = \"RUNGE-KUTTA 4\""},
                                          {"precision = 1e-6", "precision = 1e-7"}}));
    const std::string data = (fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv").string();
    const fs::path target = root / "out";
    fs::create_directories(target);
    Write("out/.tessuvan-results", "an earlier result\n");
    Write("out/population.csv", "earlier\n");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execl(TESSUVAN_PROGRAM, TESSUVAN_PROGRAM, "fit", slow.c_str(), data.c_str(), "-o", target.c_str(), "-q",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const fs::path partial = root / ("out.partial-" + std::to_string(child));
        // The partial folder's marker is written once the run's signal handling is in place;
        // the fit then runs for some seconds.
        for (int wait = 0; wait < 600 && !fs::exists(partial / ".tessuvan-results"); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(fs::exists(partial)) << "the fit never started";
        kill(child, signal);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_FALSE(fs::exists(partial));
        for (const auto& entry : fs::directory_iterator(root))
            EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
        std::ifstream earlier(target / "population.csv");
        std::string line;
        std::getline(earlier, line);
        EXPECT_EQ(line, "earlier");
    }
}

}  // namespace
