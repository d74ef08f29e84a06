// Through the real engine: formulas mean what the user wrote, doses set and add amounts as
// the data set says, covariates reach their individuals.
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "engine/engine_session.h"
#include "model/model_file.h"
#include "runs/run.h"

namespace tessuvan::cli {
namespace {

namespace fs = std::filesystem;

class ThroughTheEngine : public ::testing::Test {
protected:
    // Population predictions of every point, [i][j][k].
    std::vector<std::vector<PointPrediction>> Simulate(const std::string& toml, const std::string& csv)
    {
        model = ParseModel(toml, "m.toml");
        std::vector<std::string> columns;
        for (const CovariateSpec& covariate : model.covariates) columns.push_back(covariate.column);
        problem = BuildEngineProblem(model, ParseDataSet(csv, "d.csv", columns));
        EngineSession session(model, problem, InitialValues(model, problem.individuals.size()));
        session.Load();
        session.Simulate();
        return session.ReadPredictions();
    }

    Model model;
    EngineProblem problem;
};

TEST_F(ThroughTheEngine, FormulasMeanWhatTheUserWrote)
{
    // Constant outputs, each observed once so that it is part of the data.
    const auto predictions = Simulate(R"toml(
[model]
compartments = ["c"]
rates = ["d(c)/dt = -k*c"]
[parameters]
k = 0.5
two = { value = 2, estimate = "fixed" }
[outputs]
tower = { formula = "2^3^2", cmt = 1 }
minus = { formula = "10 - 2^two", cmt = 2 }
negated = { formula = "-2^2 + 10", cmt = 3 }
inverse = { formula = "2^-1*4", cmt = 4 }
functions = { formula = "exp(log(3)) + sqrt(16)", cmt = 5 }
grouping = { formula = "24/(two*3)/2 - (1 - two)", cmt = 6 }
)toml",
                                      "ID,TIME,DV,AMT,CMT\n1,0,.,1,1\n1,1,1,.,1\n1,1,1,.,2\n1,1,1,.,3\n1,1,1,.,4\n"
                                      "1,1,1,.,5\n1,1,1,.,6\n");
    ASSERT_EQ(predictions.size(), 1u);
    const std::vector<double> expected{512, 6, 6, 2, 7, 3};
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_NEAR(predictions[0][1].population[k], expected[k], 1e-5) << model.outputs[k].name;
}

TEST_F(ThroughTheEngine, AFirstDoseSetsAmountsAndLaterDosesAdd)
{
    // No elimination: the amount is the sum of the doses so far, and the next individual
    // starts from its own first dose, not from what the previous one left.
    const auto predictions = Simulate(R"toml(
[model]
compartments = ["c"]
rates = ["d(c)/dt = 0*c"]
[parameters]
k = 1
[outputs]
amount = "c"
)toml",
                                      "ID,TIME,DV,AMT\n1,0,.,100\n1,1,1,.\n1,2,.,50\n1,2,1,.\n1,3,1,.\n"
                                      "2,0,.,30\n2,1,1,.\n");
    ASSERT_EQ(predictions.size(), 2u);
    EXPECT_NEAR(predictions[0][1].population[0], 100, 1e-4);
    EXPECT_NEAR(predictions[0][2].population[0], 150, 1e-4);  // the dose applied at its point
    EXPECT_NEAR(predictions[0][3].population[0], 150, 1e-4);
    EXPECT_NEAR(predictions[1][1].population[0], 30, 1e-4);
}

TEST_F(ThroughTheEngine, CovariatesReachTheFormulasPerIndividual)
{
    const auto predictions = Simulate(R"toml(
[model]
compartments = ["c"]
rates = ["d(c)/dt = -k*c"]
[parameters]
k = 0.1
[covariates]
wt = "WT"
[outputs]
perkg = "c/wt"
)toml",
                                      "ID,TIME,DV,AMT,WT\n1,0,.,70,70\n1,1,1,.,70\n2,0,.,70,35\n2,1,1,.,35\n");
    EXPECT_NEAR(predictions[0][1].population[0], std::exp(-0.1), 1e-5);
    EXPECT_NEAR(predictions[1][1].population[0], 2 * std::exp(-0.1), 1e-5);
}

}  // namespace
}  // namespace tessuvan::cli
