// The dosing rules against references a reader can check (closed forms and a high-accuracy ODE
// solution, made by scripts/references/dosing_references.py): every case simulated through the
// engine with each method, every observation and EVID 2 row compared with its reference.

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "model/model_file.h"
#include "runs/run.h"

namespace tessuvan::cli {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Largest relative error of the case's predictions, with the method and precision given.
double WorstRelativeError(const fs::path& folder, const std::string& method, double precision)
{
    Model model = ParseModel(Read(folder / "model.toml"), "model.toml");
    model.fit.method = method;
    model.fit.precision = precision;
    std::vector<std::string> columns;
    for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
    const EngineProblem problem =
        BuildEngineProblem(model, ParseDataSet(Read(folder / "data.csv"), "data.csv", columns));
    RunResult result = RunEngine(model, problem, false, [](const std::string&) {});

    std::map<int, double> predicted;
    for (const auto* rows : {&result.observations, &result.predictedRows})
        for (const Observation& o : *rows) predicted[o.line] = o.pred;
    std::istringstream expected(Read(folder / "expected.csv"));
    std::string line;
    std::getline(expected, line);
    double worst = 0;
    int compared = 0;
    while (std::getline(expected, line)) {
        int row = 0;
        double time = 0, value = 0;
        char comma;
        std::istringstream(line) >> row >> comma >> time >> comma >> value;
        EXPECT_EQ(predicted.count(row), 1u) << folder.filename() << " line " << row << " was not answered";
        const double scale = std::max(std::fabs(value), 1e-6);
        worst = std::max(worst, std::fabs(predicted[row] - value) / scale);
        ++compared;
    }
    EXPECT_GT(compared, 0);
    return worst;
}

std::vector<fs::path> Cases()
{
    std::vector<fs::path> cases;
    for (const auto& entry : fs::directory_iterator(TESSUVAN_TOOL_REFERENCES_DIR))
        if (entry.is_directory()) cases.push_back(entry.path());
    std::sort(cases.begin(), cases.end());
    return cases;
}

TEST(DosingReferences, RungeKuttaMethodsAgreeWithinTheSinglePrecisionOfTheRecords)
{
    ASSERT_GE(Cases().size(), 8u);
    for (const fs::path& folder : Cases())
        for (const char* method : {"RUNGE-KUTTA 5", "RUNGE-KUTTA QC"})
            EXPECT_LT(WorstRelativeError(folder, method, 1e-8), 1e-6) << folder.filename() << " " << method;
}

// The accuracy the README documents for CHU-BERMAN: at precision p, a relative error below
// p^(2/3) (its step control bounds a local correction, not the global error).
TEST(DosingReferences, ChuBermanAgreesAtItsAccuracy)
{
    for (const fs::path& folder : Cases())
        for (double precision : {1e-4, 1e-6, 1e-8})
            EXPECT_LT(WorstRelativeError(folder, "CHU-BERMAN", precision), std::pow(precision, 2.0 / 3.0))
                << folder.filename() << " at " << precision;
}

}  // namespace
}  // namespace tessuvan::cli
