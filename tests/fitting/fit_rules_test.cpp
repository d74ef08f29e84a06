// The small rules every fit step obeys: the step limit, the convergence test, the standard
// error of a variance and the pooling with the a-priori deviation.
#include <cfenv>
#include <cmath>

#include <gtest/gtest.h>

#include "fit_test_support.h"
#include "fitting/fit_support.h"
#include "fitting/standard_errors.h"

namespace tessuvan {
namespace {

TEST(StepLimit, AStepBeyondNinetyPercentOfAPositiveValueIsCutToNinetyPercent)
{
    EXPECT_NEAR(static_cast<double>(LimitedStep(-20, 10)), -9, 1e-14);
    EXPECT_NEAR(static_cast<double>(LimitedStep(-5, 2)), -1.8, 1e-14);
    EXPECT_NEAR(static_cast<double>(LimitedStep(30, 10)), 9, 1e-14);
}

TEST(StepLimit, AStepWithinNinetyPercentIsTakenAsItIs)
{
    EXPECT_EQ(LimitedStep(5, 10), 5);
    EXPECT_EQ(LimitedStep(1, 2), 1);
    EXPECT_EQ(LimitedStep(-9, 10), -9);
}

TEST(StepLimit, ANegativeValueIsComparedWithItsSignSoEveryStepIsCut)
{
    // 1 > 0.9·(−10): the step becomes 0.9·|−10| in the direction of the solver's step.
    EXPECT_NEAR(static_cast<double>(LimitedStep(1, -10)), 9, 1e-14);
    EXPECT_NEAR(static_cast<double>(LimitedStep(-1, -10)), -9, 1e-14);
}

TEST(StepLimit, AStepNotAboveTheThresholdIsNeverScaled)
{
    const WorkingFloat tiny = ObservationThreshold;
    EXPECT_EQ(LimitedStep(tiny, -10), tiny);
    EXPECT_EQ(LimitedStep(0, -10), 0);
}

TEST(Convergence, AMeanSquaredChangeEqualToTheToleranceIsNotConverged)
{
    EXPECT_FALSE(Converged(0.25f, 0.5, 2));
    EXPECT_TRUE(Converged(0.25f, static_cast<WorkingFloat>(0.4999), 2));
    // The tolerance is the host's single, widened: 0.1f is slightly above 0.1.
    EXPECT_TRUE(Converged(0.1f, static_cast<WorkingFloat>(0.1L), 1));
    EXPECT_FALSE(Converged(0.1f, static_cast<WorkingFloat>(0.1f), 1));
}

TEST(StandardError, ANegativeVarianceGivesNotANumberWithoutAnInvalidOperation)
{
    std::feclearexcept(FE_ALL_EXCEPT);
    const WorkingFloat error = StandardErrorOf(-1e-20);
    EXPECT_TRUE(std::isnan(error));
    EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
    EXPECT_EQ(StandardErrorOf(4), 2);
    EXPECT_EQ(StandardErrorOf(0), 0);
}

TEST(PopulationDeviationPooling, PoolsTheFittedParametersWithTheirAPrioriDeviation)
{
    auto state = testing::StateWithStore(10, 1, 1, 4);
    state->init.record.NPopAPriori = 10;
    PAjustable* parameter = state->AdjustableTable.data();
    parameter[1].PA[0] = FitCodePopulationAndIndividual;
    parameter[1].PS[0] = 0;
    parameter[1].PS[1] = 2;
    parameter[2].PA[0] = FitCodeIndividualOnly;  // not fitted at population level
    parameter[2].PS[0] = 5;
    parameter[2].PS[1] = 2;
    parameter[3].PA[0] = FitCodePopulationOnly;
    parameter[3].PS[0] = 1;
    parameter[3].PS[1] = 0;
    parameter[4].PA[0] = FitCodePopulationOnly;
    parameter[4].PS[0] = std::numeric_limits<WorkingFloat>::quiet_NaN();
    parameter[4].PS[1] = 1;

    PoolPopulationDeviation(*state);

    EXPECT_EQ(parameter[1].PS[0], std::sqrt(static_cast<WorkingFloat>(2)));
    EXPECT_EQ(parameter[2].PS[0], 0);
    EXPECT_EQ(parameter[3].PS[0], std::sqrt(static_cast<WorkingFloat>(0.5)));
    EXPECT_TRUE(std::isnan(parameter[4].PS[0]));  // not available stays not available
}

}  // namespace
}  // namespace tessuvan
