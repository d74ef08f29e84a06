// The population fit on models whose steps can be followed by hand.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "fit_bench.h"
#include "fitting/population_fit.h"

namespace tessuvan::testing {
namespace {

double Value(WorkingFloat value) { return static_cast<double>(value); }

class PopulationStepLimit : public ::testing::Test {
protected:
    // Prediction A1 + 20 at two points, so the solver's step is observed − value − 20.
    void Build(float value, float observed)
    {
        bench.BuildDirectModel("A1+20", 1, 1, {{0, observed}, {1, observed}});
        bench.model.SetParameter(1, value, FitCodePopulationOnly);
        bench.model.Fit()->Marquard = 0;
        bench.LoadAndSimulate();
    }
    FitBench bench;
};

TEST_F(PopulationStepLimit, AValueOfTenAndASolverStepOfMinusTwentyMovesByMinusNine)
{
    Build(10, 10);
    PopulationStep(*bench.state, StepMode::FiniteDifferences);
    ASSERT_EQ(bench.state->fit.Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).dP[0]), -9, 1e-12);
}

TEST_F(PopulationStepLimit, AValueOfTenAndASolverStepOfFiveMovesByFive)
{
    Build(10, 35);
    PopulationStep(*bench.state, StepMode::FiniteDifferences);
    EXPECT_NEAR(Value(bench.Parameter(1).dP[0]), 5, 1e-12);
}

TEST_F(PopulationStepLimit, AValueOfMinusTenAndASolverStepOfOneMovesByNine)
{
    Build(-10, 11);
    PopulationStep(*bench.state, StepMode::FiniteDifferences);
    EXPECT_NEAR(Value(bench.Parameter(1).dP[0]), 9, 1e-12);
}

class SecondPopulationStep : public ::testing::Test {
protected:
    // Prediction A1·T at T = 1 and 2, no prior, damping 1 (each step halves the distance to
    // the least-squares value). With γ = 0 the weights make the objective
    // (r1² + r2²)/|r1·r2|, which depends on the ratio of the residuals only.
    void Build(float value, float first, float second)
    {
        bench.BuildDirectModel("A1*T", 1, 1, {{1, first}, {2, second}});
        bench.model.SetParameter(1, value, FitCodePopulationOnly);
        bench.model.Fit()->Marquard = 1;
        bench.LoadAndSimulate();
    }
    FitBench bench;
};

TEST_F(SecondPopulationStep, IsKeptWhenTheObjectiveStaysEqual)
{
    // Observations 1 and 2: r2 = 2·r1 at every value, the objective is 2.5 throughout.
    // From 5 the first step reaches 3, the second 2.
    Build(5, 1, 2);
    bench.FitPopulation();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).PV[0]), 2, 1e-9);
    EXPECT_EQ(bench.model.Fit()->ErreurCalc[0], 2.5f);
    EXPECT_EQ(bench.model.Table()->Values[0][0], static_cast<float>(bench.Parameter(1).PV[0]));
}

TEST_F(SecondPopulationStep, IsUndoneAndSimulatedAgainWhenTheObjectiveGrows)
{
    // Observations 1 and 4, least-squares value 1.8. From 4 the first step reaches 2.9
    // (residuals 1.9 and 1.8, objective 2.003); the second would reach 2.35 (1.35 and 0.7,
    // objective 2.447).
    Build(4, 1, 4);
    bench.FitPopulation();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).PV[0]), 2.9, 1e-9);
    const double expected = (1.9 * 1.9 + 1.8 * 1.8) / (1.9 * 1.8);
    EXPECT_NEAR(bench.model.Fit()->ErreurCalc[0], expected, 1e-5);  // the values handed back
    EXPECT_NEAR(bench.Store().PopulationPrediction(1, 2, 1), 5.8, 1e-9);
    EXPECT_EQ(bench.model.Fit()->Done, 0);
}

TEST(PopulationFitWithoutPopulationCodes, SimulatesOnceAndReportsDone)
{
    FitBench bench;
    bench.BuildDirectModel("A1*T", 2, 2, {{1, 1}, {2, 4}});
    bench.model.SetParameter(1, 3, FitCodeIndividualOnly);
    bench.model.SetParameter(2, 5, FitCodeFixed);
    bench.LoadAndSimulate();
    bench.model.Table()->Values[0][0] = 0;
    std::filesystem::remove(bench.model.dataFile);

    bench.FitPopulation();
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.model.Fit()->Done, -1);
    EXPECT_EQ(bench.Parameter(1).PV[0], 3);
    EXPECT_EQ(bench.model.Table()->Values[0][0], 3);  // handed back by the simulation
    EXPECT_TRUE(bench.model.DataFileExists());
}

TEST(PopulationFitErrors, AnIncomingCodeIsHandedBackUnchangedWhenNothingIsFitted)
{
    FitBench bench;
    bench.BuildDirectModel("A1*T", 1, 1, {{1, 1}, {2, 4}});
    bench.model.SetParameter(1, 3, FitCodePopulationOnly);
    bench.LoadAndSimulate();
    bench.model.Table()->FitCodes[0][0] = FitCodeFixed;  // the host stops fitting it
    bench.model.Fit()->Erreur = 17;
    bench.FitPopulation();
    EXPECT_EQ(bench.model.Fit()->Erreur, 17);
    EXPECT_EQ(bench.Parameter(1).PV[0], 3);
}

TEST(PopulationFitErrors, ASingularSystemReportsTheSolverStatusAndTakesNoStep)
{
    // Both parameters enter only as their sum: the columns of derivatives are equal.
    FitBench bench;
    bench.BuildDirectModel("A1+A2", 1, 2, {{1, 1}, {2, 4}});
    bench.model.SetParameter(1, 3, FitCodePopulationOnly);
    bench.model.SetParameter(2, 3, FitCodePopulationOnly);
    bench.model.Fit()->Marquard = 0;
    bench.LoadAndSimulate();
    bench.model.Fit()->Erreur = 0;
    bench.model.Fit()->Done = 5;
    bench.FitPopulation();
    EXPECT_EQ(bench.model.Fit()->Erreur, kSolverSingular);
    EXPECT_EQ(bench.model.Fit()->Done, 5);
    EXPECT_EQ(bench.Parameter(1).PV[0], 3);
    EXPECT_EQ(bench.Parameter(2).PV[0], 3);
}

}  // namespace
}  // namespace tessuvan::testing
