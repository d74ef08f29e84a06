// Weights from the power-law error model, the prior weights, and the objective sums.
#include <cmath>

#include <gtest/gtest.h>

#include "library/library_state.h"
#include "library/statistics.h"

namespace tessuvan::testing {
namespace {

class Weights : public ::testing::Test {
protected:
    // individuals x points, one output, the given adjustables.
    void Shape(int individuals, int points, int adjustables = 0)
    {
        ModelStore::Shape shape;
        shape.individuals = individuals;
        shape.pointsPerIndividual = points;
        shape.outputs = 1;
        shape.adjustables = adjustables;
        state->store = ModelStore::Create(shape);
        ASSERT_NE(state->store, nullptr);
        state->init.record.NIndividuals = static_cast<int16_t>(individuals);
        state->init.record.NSorties = 1;
        state->init.record.NAjustables = static_cast<int16_t>(adjustables);
        for (int i = 1; i <= individuals; ++i) Store().PointCount(i) = points;
        state->ShapeTables(state->init.record);
    }
    void Point(int i, int j, WorkingFloat observed, WorkingFloat population, WorkingFloat individual = 0)
    {
        Store().Observed(i, j, 1) = observed;
        Store().PopulationPrediction(i, j, 1) = population;
        Store().IndividualPrediction(i, j, 1) = individual;
    }
    ModelStore& Store() { return *state->store; }

    std::unique_ptr<LibraryState> state = std::make_unique<LibraryState>();
};

TEST_F(Weights, WithGammaZeroTheWeightedSquaredResidualsHaveGeometricMeanOne)
{
    Shape(1, 4);
    state->fit.TypeErreurData = 0;
    Point(1, 1, 10, 11);    // residual 1
    Point(1, 2, 20, 18);    // residual -2
    Point(1, 3, 30, 34);    // residual 4
    Point(1, 4, 0, 5);      // not observed
    ComputeWeights(*state);
    // s = (1²·2²·4²)^(−1/3) = 1/4, the same for every observed point.
    EXPECT_NEAR(static_cast<double>(Store().Weight(1, 1, 1)), 0.25, 1e-15);
    EXPECT_EQ(Store().Weight(1, 2, 1), Store().Weight(1, 1, 1));
    EXPECT_EQ(Store().Weight(1, 3, 1), Store().Weight(1, 1, 1));
    EXPECT_EQ(Store().Weight(1, 4, 1), 0);
}

TEST_F(Weights, WithGammaTwoTheWeightsFollowTheInverseSquareOfTheObservation)
{
    Shape(1, 2);
    state->fit.TypeErreurData = 2;
    Point(1, 1, 2, 3);
    Point(1, 2, 4, 3);
    ComputeWeights(*state);
    EXPECT_NEAR(static_cast<double>(Store().Weight(1, 1, 1) / Store().Weight(1, 2, 1)), 4.0, 1e-14);
    // s = exp((2·(ln 2 + ln 4) − 0) / 2) = 8, so the weights are 8/4 and 8/16.
    EXPECT_NEAR(static_cast<double>(Store().Weight(1, 1, 1)), 2.0, 1e-14);
}

TEST_F(Weights, APerfectPopulationFitHasScaleOneAndAnExactPointStillGetsItsWeight)
{
    Shape(1, 2);
    state->fit.TypeErreurData = 1;
    Point(1, 1, 5, 5);
    Point(1, 2, 2, 2);
    EXPECT_EQ(WeightScale(*state), 1);
    Point(1, 2, 2, 3);  // one residual: s = exp((ln 2 − ln 1) / 1) = 2, computed without the exact point
    ComputeWeights(*state);
    EXPECT_NEAR(static_cast<double>(Store().Weight(1, 1, 1)), 2.0 / 5.0, 1e-14);
}

TEST_F(Weights, PriorWeightsFollowTheDeviationsAndAreZeroWhereTheirDivisorIs)
{
    Shape(2, 2, 2);
    state->init.record.NPopAPriori = 4;
    state->AdjustedCount = 2;
    Store().TotalObservationCount = 5;
    PAjustable& parameter = state->AdjustableTable[1];
    parameter.PS[0] = 0.5;
    parameter.PS[1] = 0.25;
    ComputePriorWeights(*state);
    EXPECT_EQ(parameter.PW[1], (WorkingFloat(4) / 2) / (0.25 * 0.25) / 2);
    EXPECT_EQ(parameter.PW[0], WorkingFloat(4) / 4);
    EXPECT_EQ(state->AdjustableTable[2].PW[0], 0);  // deviation 0, as after a load
    EXPECT_EQ(state->AdjustableTable[2].PW[1], 0);

    state->AdjustedCount = 6;  // 5 − 6 + 1 = 0
    ComputePriorWeights(*state);
    EXPECT_EQ(parameter.PW[0], 0);
    state->AdjustedCount = 0;
    ComputePriorWeights(*state);
    EXPECT_EQ(parameter.PW[1], 0);
    state->AdjustedCount = 2;
    state->init.record.NIndividuals = 0;
    ComputePriorWeights(*state);
    EXPECT_EQ(parameter.PW[1], 0);
    state->init.record.NIndividuals = 2;
    state->init.record.NPopAPriori = 0;
    ComputePriorWeights(*state);
    EXPECT_EQ(parameter.PW[1], 0);
}

TEST_F(Weights, ObjectiveSumsFillTheirThreeGroupsPerIndividualAndInTotal)
{
    constexpr int M = kMaxIndividuals;
    Shape(2, 1, 2);
    Point(1, 1, 10, 12, 11);
    Point(2, 1, 20, 17, 21);
    Store().Weight(1, 1, 1) = 0.5;
    Store().Weight(2, 1, 1) = 2;
    PAjustable& fitted = state->AdjustableTable[1];
    fitted.PA[0] = FitCodePopulationAndIndividual;
    fitted.PW[0] = 3;
    fitted.PV[0] = 1;
    fitted.PV[1] = 2;
    fitted.PV[2] = 4;
    PAjustable& individualOnly = state->AdjustableTable[2];
    individualOnly.PA[0] = FitCodeIndividualOnly;
    individualOnly.PW[0] = 100;
    individualOnly.PV[1] = 50;
    BFitSet fit{};
    fit.ErreurCalc[M + 5] = 99;  // beyond the individuals: left alone
    SumObjectives(*state, Store(), fit);
    EXPECT_EQ(fit.ErreurCalc[1], 2);     // 0.5 · 2²
    EXPECT_EQ(fit.ErreurCalc[2], 18);    // 2 · 3²
    EXPECT_EQ(fit.ErreurCalc[0], 20);
    EXPECT_EQ(fit.ErreurCalc[M + 2], 0.5);
    EXPECT_EQ(fit.ErreurCalc[M + 3], 2);
    EXPECT_EQ(fit.ErreurCalc[M + 1], 2.5);
    EXPECT_EQ(fit.ErreurCalc[2 * M + 3], 3);   // 3 · (1 − 2)²
    EXPECT_EQ(fit.ErreurCalc[2 * M + 4], 27);  // 3 · (1 − 4)²
    EXPECT_EQ(fit.ErreurCalc[2 * M + 2], 30);
    EXPECT_EQ(fit.ErreurCalc[M + 5], 99);
}

TEST_F(Weights, ObjectiveSumsAreHeldInSinglePrecisionAfterEveryAddition)
{
    // 1, then twice 2^-24 (half a unit in the last place of a single at 1): each addition
    // rounds back to 1, where a sum held wider would end at 1 + 2^-23.
    Shape(1, 3);
    const WorkingFloat residual = std::ldexp(WorkingFloat(1), -12);
    Point(1, 1, 1, 2);
    Point(1, 2, 1, 1 + residual);
    Point(1, 3, 1, 1 + residual);
    for (int j = 1; j <= 3; ++j) Store().Weight(1, j, 1) = 1;
    BFitSet fit{};
    SumObjectives(*state, Store(), fit);
    EXPECT_EQ(fit.ErreurCalc[1], 1.0f);
    EXPECT_EQ(fit.ErreurCalc[0], 1.0f);
}

}  // namespace
}  // namespace tessuvan::testing
