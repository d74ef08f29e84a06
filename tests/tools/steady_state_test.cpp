// The count of doses before a steady state follows the half-life against the interval, and a
// steady state the engine cannot hold is an error that names the individual and the line.
#include <cmath>
#include <map>

#include <gtest/gtest.h>

#include "data/data_set.h"
#include "model/model_file.h"
#include "runs/run.h"
#include "runs/steady_state.h"

namespace tessuvan::cli {
namespace {

Model OneCompartment(double k)
{
    return ParseModel(
        "[model]\ncompartments = [\"central\"]\nrates = [\"d(central)/dt = -k*central\"]\n"
        "[parameters]\nk = { value = " +
            std::to_string(k) +
            ", estimate = \"fixed\" }\nV = { value = 10, estimate = \"fixed\" }\n"
            "[outputs]\nconc = \"central/V\"\n",
        "m.toml");
}

// An infusion (2 h of 6): a train of earlier doses (a bolus in one compartment is exact in one
// interval, steady_state_trains.h).
const char* kData =
    "ID,TIME,DV,AMT,RATE,II,SS\n"
    "1,0,.,100,50,6,1\n"
    "1,3,1,.,.,.,.\n";

TEST(SteadyStates, TheCountOfEarlierDosesGrowsWithTheHalfLifeUntilTheTroughSettles)
{
    const DataSet data = ParseDataSet(kData, "d.csv", {});
    PreDoses fast, slow;
    SteadyStateProblem(OneCompartment(0.5), data, CensoredRows::LeftOut, {}, fast);
    SteadyStateProblem(OneCompartment(0.02), data, CensoredRows::LeftOut, {}, slow);
    EXPECT_EQ(fast.Of(2), fast.first);  // exp(-3) per interval: the first count settles it
    // exp(-0.12) per interval: ln(1e-8)/-0.12 = 154 intervals to 1e-8.
    EXPECT_GT(slow.Of(2), 150);
    EXPECT_LT(slow.Of(2), 250);
}

TEST(SteadyStates, OneTheInterruptsCannotHoldIsAnErrorNamingTheIndividualAndTheLine)
{
    const DataSet data = ParseDataSet(kData, "d.csv", {});
    PreDoses preDoses;
    try {
        SteadyStateProblem(OneCompartment(1e-5), data, CensoredRows::LeftOut, {}, preDoses);
        FAIL() << "a half-life of 8 years against 6 h was accepted";
    } catch (const DataError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("d.csv:2"), std::string::npos) << message;
        EXPECT_NE(message.find("individual 1"), std::string::npos) << message;
        EXPECT_NE(message.find("not reached within the engine's limits"), std::string::npos) << message;
    }
}

// Three regimens at steady state (SS 1, different amounts, one II) in a linear model: one
// steady state (exact in one interval) serves them all, scaled to each amount, in a few
// interrupts and three species
// (the compartment, its held steady state, the shadow), to the closed form
//     A(T + t) = D·e^(−kt) / (1 − e^(−kτ)).
TEST(SteadyStates, RowsOfOneShapeShareOneHeldSteadyStateScaledToTheirAmounts)
{
    const DataSet data = ParseDataSet(
        "ID,TIME,DV,AMT,II,SS\n1,0,.,100,12,1\n1,6,1,.,.,.\n1,30,.,300,12,1\n1,36,1,.,.,.\n"
        "1,60,.,50,12,1\n1,66,1,.,.,.\n1,84,1,.,.,.\n",
        "d.csv", {});
    const double k = 0.02, tau = 12;
    Model model = OneCompartment(k);
    model.fit.method = "RUNGE-KUTTA QC";
    model.fit.precision = 1e-8;
    PreDoses preDoses;
    const EngineProblem problem = SteadyStateProblem(model, data, CensoredRows::LeftOut, {}, preDoses);
    EXPECT_EQ(problem.speciesCount, 3);
    EXPECT_LT(problem.interruptCount, 20);  // ln(1e-8)/(kτ) = 77 earlier doses
    const RunResult result = RunEngine(model, problem, false, [](const std::string&) {});
    const std::map<int, std::pair<double, double>> expected{{3, {100, 6}}, {5, {300, 6}}, {7, {50, 6}}, {8, {50, 24}}};
    ASSERT_EQ(result.observations.size(), expected.size());
    for (const Observation& o : result.observations) {
        const auto [dose, t] = expected.at(o.line);
        const double exact = dose * std::exp(-k * t) / (1 - std::exp(-k * tau)) / 10;
        EXPECT_NEAR(o.pred, exact, 1e-6 * exact) << "line " << o.line;
    }
}

}  // namespace
}  // namespace tessuvan::cli
