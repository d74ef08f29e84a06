// The normal equations and the secant correction, on stored predictions, weights and
// sensitivities whose outcome can be worked out by hand.
#include <gtest/gtest.h>

#include "fit_test_support.h"
#include "fitting/individual_fit.h"
#include "fitting/population_fit.h"

namespace tessuvan {
namespace {

class SecantCorrection : public ::testing::Test {
protected:
    // One individual, one point, one output, two population-fitted parameters; the prediction
    // moved by 10 with the step (1, 2).
    void SetUp() override
    {
        state = testing::StateWithStore(1, 1, 1, 2);
        for (int p = 1; p <= 2; ++p) {
            state->AdjustableTable[p].PA[0] = FitCodePopulationOnly;
            state->AdjustableTable[p].PA[1] = FitCodeIndividualOnly;
            state->AdjustableTable[p].PV[1] = 1;
        }
        SetStep(1, 2);
        store().PreviousPopulationPrediction(1, 1, 1) = 5;
        store().PopulationPrediction(1, 1, 1) = 15;
        store().PreviousIndividualPrediction(1, 1, 1) = 5;
        store().IndividualPrediction(1, 1, 1) = 15;
    }
    void SetStep(WorkingFloat first, WorkingFloat second)
    {
        state->AdjustableTable[1].dP[0] = state->AdjustableTable[1].dP[1] = first;
        state->AdjustableTable[2].dP[0] = state->AdjustableTable[2].dP[1] = second;
    }
    ModelStore& store() { return *state->store; }
    std::unique_ptr<LibraryState> state;
};

TEST_F(SecantCorrection, EachColumnSeesTheColumnsCorrectedBeforeIt)
{
    // d = 5. Column 1: t = 0, u = 10·1 + 10·2 = 30, S1 = 6. Column 2: t = 6·1 = 6,
    // u = 4·1 + 4·2 = 12, S2 = 2.4.
    UpdatePopulationSensitivities(*state);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 1), 6);
    EXPECT_NEAR(static_cast<double>(store().PopulationSensitivity(1, 1, 1, 2)), 2.4, 1e-14);

    UpdateIndividualSensitivities(*state, 1);
    EXPECT_EQ(store().IndividualSensitivity(1, 1, 1, 1), 6);
    EXPECT_NEAR(static_cast<double>(store().IndividualSensitivity(1, 1, 1, 2)), 2.4, 1e-14);
}

TEST_F(SecantCorrection, SensitivitiesThatPredictTheChangeStayAsTheyAre)
{
    store().PopulationSensitivity(1, 1, 1, 1) = 4;
    store().PopulationSensitivity(1, 1, 1, 2) = 3;  // 4·1 + 3·2 = 10
    UpdatePopulationSensitivities(*state);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 1), 4);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 2), 3);
}

TEST_F(SecantCorrection, AStepOfZerosLeavesTheSensitivitiesAlone)
{
    SetStep(0, 0);
    store().PopulationSensitivity(1, 1, 1, 1) = 1;
    store().IndividualSensitivity(1, 1, 1, 2) = 2;
    UpdatePopulationSensitivities(*state);
    UpdateIndividualSensitivities(*state, 1);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 1), 1);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 2), 0);
    EXPECT_EQ(store().IndividualSensitivity(1, 1, 1, 2), 2);
}

TEST_F(SecantCorrection, AStepThatMovedNoPredictionLeavesTheSensitivitiesAlone)
{
    // A step far below the resolution of the values changes none of them: a correction
    // would set S·dP to the zero change, turning the derivatives into rounding noise.
    SetStep(1e-17, 0);
    store().PreviousPopulationPrediction(1, 1, 1) = 15;
    store().PreviousIndividualPrediction(1, 1, 1) = 15;
    store().PopulationSensitivity(1, 1, 1, 1) = 1;
    store().IndividualSensitivity(1, 1, 1, 1) = 1;
    UpdatePopulationSensitivities(*state);
    UpdateIndividualSensitivities(*state, 1);
    EXPECT_EQ(store().PopulationSensitivity(1, 1, 1, 1), 1);
    EXPECT_EQ(store().IndividualSensitivity(1, 1, 1, 1), 1);
}

class NormalEquations : public ::testing::Test {
protected:
    // One individual with two points and one output; the second point is not observed.
    void SetUp() override
    {
        state = testing::StateWithStore(1, 2, 1, 3);
        state->fit.Marquard = 0.5f;
        store().ObservationCount(1) = 1;
        store().Weight(1, 1, 1) = 2;
        store().Observed(1, 1, 1) = 5;
        store().PopulationPrediction(1, 1, 1) = 3;
        store().IndividualPrediction(1, 1, 1) = 4;
        store().Weight(1, 2, 1) = 0;
        store().PopulationPrediction(1, 2, 1) = 100;
        store().IndividualPrediction(1, 2, 1) = 100;
        for (int k = 1; k <= 2; ++k) {
            store().PopulationSensitivity(1, k, 1, 1) = store().IndividualSensitivity(1, k, 1, 1) = 1;
            store().PopulationSensitivity(1, k, 1, 2) = store().IndividualSensitivity(1, k, 1, 2) = 7;  // not fitted
            store().PopulationSensitivity(1, k, 1, 3) = store().IndividualSensitivity(1, k, 1, 3) = 0.5;
        }
        PAjustable* parameter = state->AdjustableTable.data();
        // Parameter 1: population code 2, individual code 2; centre 4, value 3, prior weights.
        parameter[1].PA[0] = FitCodePopulationAndIndividual;
        parameter[1].PA[1] = FitCodePopulationAndIndividual;
        parameter[1].PV[0] = 3;
        parameter[1].PV[1] = 2;
        parameter[1].PV[2] = 4;
        parameter[1].PW[0] = 0.25;
        parameter[1].PW[1] = 0.5;
        // Parameter 2: fixed everywhere.
        parameter[2].PV[0] = parameter[2].PV[1] = 1;
        // Parameter 3: population only; individually code 1.
        parameter[3].PA[0] = FitCodePopulationOnly;
        parameter[3].PA[1] = FitCodeIndividualOnly;
        parameter[3].PV[0] = 8;
        parameter[3].PV[1] = 8;
        parameter[3].PV[2] = 6;
        parameter[3].PW[1] = 1;
    }
    ModelStore& store() { return *state->store; }
    std::unique_ptr<LibraryState> state;
    FitMatrix M{};
    FitVector g{};
    int count = -1;
};

TEST_F(NormalEquations, PopulationRowsHoldThePriorTheDataAndTheDampedDiagonal)
{
    // dP[0] = 0: the secant correction is skipped and the stored sensitivities are used.
    BuildPopulationNormalEquations(*state, StepMode::SecantUpdate, count, M, g);
    ASSERT_EQ(count, 2);
    // r = 2·(5 − 3) = 4.  Row 1: prior (4 − 3)·0.5, data 4·1.  Row 2 (parameter 3): prior
    // (6 − 8)·1, data 4·0.5.
    EXPECT_EQ(g[1], 4.5);
    EXPECT_EQ(g[2], 0);
    EXPECT_EQ(M[1][1], (0.5 + 2) * 1.5);
    EXPECT_EQ(M[1][2], 1);
    EXPECT_EQ(M[2][1], 1);
    EXPECT_EQ(M[2][2], (1 + 0.5) * 1.5);
}

TEST_F(NormalEquations, IndividualPriorOfCodeTwoCountsTheObservationsPlusOne)
{
    BuildIndividualNormalEquations(*state, StepMode::SecantUpdate, 1, count, M, g);
    ASSERT_EQ(count, 2);
    // r = 2·(5 − 4) = 2.  Row 1: code 2, n = 2: (3 − 2)·0.25·2 + 2·1.  Row 2: code 1,
    // (6 − 8)·1 + 2·0.5.
    EXPECT_EQ(g[1], 2.5);
    EXPECT_EQ(g[2], -1);
    EXPECT_EQ(M[1][1], (0.25 * 2 + 2) * 1.5);
    EXPECT_EQ(M[1][2], 1);
    EXPECT_EQ(M[2][2], (1 + 0.5) * 1.5);
}

TEST_F(NormalEquations, AWorkingErrorKeepsTheDataOut)
{
    state->fit.Erreur = 3;
    BuildPopulationNormalEquations(*state, StepMode::SecantUpdate, count, M, g);
    EXPECT_EQ(g[1], 0.5);
    EXPECT_EQ(M[1][1], 0.5 * 1.5);
    EXPECT_EQ(M[1][2], 0);
}

TEST_F(NormalEquations, AnIndividualValueNotAboveTheThresholdIsNotFitted)
{
    state->AdjustableTable[1].PV[1] = 0;
    BuildIndividualNormalEquations(*state, StepMode::SecantUpdate, 1, count, M, g);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(g[1], -1);  // parameter 3 moves up to row 1
}

TEST_F(NormalEquations, AnIndividualStepWithoutFittedParametersReportsTheOrderStatus)
{
    state->AdjustableTable[1].PA[1] = FitCodeFixed;
    state->AdjustableTable[3].PA[1] = FitCodePopulationOnly;
    state->AdjustableTable[1].dP[1] = 42;
    IndividualStep(*state, StepMode::SecantUpdate, 1);
    EXPECT_EQ(state->fit.Erreur, kSolverOrder);
    EXPECT_EQ(state->AdjustableTable[1].dP[1], 42);
}

TEST_F(NormalEquations, APopulationStepIsLimitedAndClearsTheStepOfParametersNotFitted)
{
    // Solve by hand: M = [[3.75, 1], [1, 2.25]], g = [4.5, 0].
    state->AdjustableTable[2].dP[0] = 42;
    PopulationStep(*state, StepMode::SecantUpdate);
    ASSERT_EQ(state->fit.Erreur, 0);
    const double det = 3.75 * 2.25 - 1;
    EXPECT_NEAR(static_cast<double>(state->AdjustableTable[1].dP[0]), 4.5 * 2.25 / det, 1e-14);
    EXPECT_EQ(state->AdjustableTable[2].dP[0], 0);
    EXPECT_NEAR(static_cast<double>(state->AdjustableTable[3].dP[0]), -4.5 / det, 1e-14);
}

}  // namespace
}  // namespace tessuvan
