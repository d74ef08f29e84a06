// The count of doses before a steady state follows the half-life against the interval, and a
// steady state the engine cannot hold is an error that names the individual and the line.
#include <gtest/gtest.h>

#include "data/data_set.h"
#include "model/model_file.h"
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

const char* kData =
    "ID,TIME,DV,AMT,II,SS\n"
    "1,0,.,100,6,1\n"
    "1,3,1,.,.,.\n";

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

}  // namespace
}  // namespace tessuvan::cli
