// The individual fit on models whose steps can be followed by hand.
#include <gtest/gtest.h>

#include "fit_bench.h"
#include "fitting/individual_fit.h"

namespace tessuvan::testing {
namespace {

double Value(WorkingFloat value) { return static_cast<double>(value); }

class IndividualStepLimit : public ::testing::Test {
protected:
    // Prediction A1 + 20 at two points; parameter 1 fitted per individual only.
    void Build(float value, float observed)
    {
        bench.BuildDirectModel("A1+20", 1, 1, {{0, observed}, {1, observed}});
        bench.model.SetParameter(1, value, FitCodeIndividualOnly);
        bench.model.Fit()->Marquard = 0;
        bench.LoadAndSimulate();
    }
    FitBench bench;
};

TEST_F(IndividualStepLimit, AValueOfTwoAndASolverStepOfMinusFiveMovesByMinusOnePointEight)
{
    Build(2, 17);
    IndividualStep(*bench.state, StepMode::FiniteDifferences, 1);
    ASSERT_EQ(bench.state->fit.Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).dP[1]), -1.8, 1e-12);
}

TEST_F(IndividualStepLimit, AValueOfTwoAndASolverStepOfOneMovesByOne)
{
    Build(2, 23);
    IndividualStep(*bench.state, StepMode::FiniteDifferences, 1);
    EXPECT_NEAR(Value(bench.Parameter(1).dP[1]), 1, 1e-12);
}

class SecondIndividualStep : public ::testing::Test {
protected:
    // Prediction A1·T at T = 1 and 2, code 1 with no prior, damping 1: as for the population,
    // the objective depends on the ratio of the two residuals only.
    void Build(float value, float first, float second)
    {
        bench.BuildDirectModel("A1*T", 1, 1, {{1, first}, {2, second}});
        bench.model.SetParameter(1, value, FitCodeIndividualOnly);
        bench.model.Fit()->Marquard = 1;
        bench.LoadAndSimulate();
    }
    float Objective() { return bench.model.Fit()->ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + 1]; }
    FitBench bench;
};

TEST_F(SecondIndividualStep, IsKeptWhenTheObjectiveStaysEqual)
{
    Build(5, 1, 2);
    bench.FitIndividual(1);
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).PV[1]), 2, 1e-9);
    EXPECT_EQ(Objective(), 2.5f);
    EXPECT_EQ(bench.model.Table()->Values[1][0], static_cast<float>(bench.Parameter(1).PV[1]));
}

TEST_F(SecondIndividualStep, IsUndoneAndSimulatedAgainWhenTheObjectiveGrows)
{
    Build(4, 1, 4);
    bench.FitIndividual(1);
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_NEAR(Value(bench.Parameter(1).PV[1]), 2.9, 1e-9);
    EXPECT_NEAR(Objective(), (1.9 * 1.9 + 1.8 * 1.8) / (1.9 * 1.8), 1e-5);
    EXPECT_NEAR(bench.Store().IndividualPrediction(1, 2, 1), 5.8, 1e-9);
    EXPECT_EQ(bench.model.Fit()->Done, 0);
}

TEST(IndividualFitSelection, APopulationOnlyParameterTakesThePopulationValueAndIsNotFitted)
{
    FitBench bench;
    bench.BuildDirectModel("A1*T+A2", 1, 2, {{1, 1}, {2, 4}});
    bench.model.SetParameter(1, 3, FitCodeIndividualOnly);
    bench.model.SetParameter(2, 0.5f, FitCodePopulationOnly);
    bench.model.Value(1, 2) = 7;  // the individual's own value of parameter 2
    bench.LoadAndSimulate();
    bench.FitIndividual(1);
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.Parameter(2).PV[1], 0.5);
    EXPECT_NE(bench.Parameter(1).PV[1], 3);
}

TEST(IndividualFitSelection, AnIndividualWithoutObservationsTakesThePopulationValues)
{
    FitBench bench;
    bench.BuildDirectModel("A1*T", 2, 1, {{1, 1}, {2, 4}});
    for (tessuvan_host::PointRow& row : bench.model.data)
        if (row.individual == 2) row.values[0] = 0;
    bench.model.WriteFiles();
    bench.model.SetParameter(1, 3, FitCodePopulationAndIndividual);
    bench.model.Value(2, 1) = 7;
    bench.LoadAndSimulate();
    bench.model.Fit()->Done = 5;

    bench.FitIndividual(2);
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.Parameter(1).PV[2], 3);
    EXPECT_EQ(bench.model.Fit()->Done, 5);              // not written
    EXPECT_EQ(bench.model.Table()->Values[2][0], 7);    // as the simulation before the reset wrote it
    bench.Simulate();
    EXPECT_EQ(bench.model.Table()->Values[2][0], 3);
}

TEST(IndividualFitSelection, AnIndividualWithObservationsButNothingToFitReportsTheOrderStatus)
{
    FitBench bench;
    bench.BuildDirectModel("A1*T", 1, 1, {{1, 1}, {2, 4}});
    bench.model.SetParameter(1, 3, FitCodeFixed);
    bench.LoadAndSimulate();
    bench.FitIndividual(1);
    EXPECT_EQ(bench.model.Fit()->Erreur, kSolverOrder);
    EXPECT_EQ(bench.Parameter(1).PV[1], 3);
}

}  // namespace
}  // namespace tessuvan::testing
