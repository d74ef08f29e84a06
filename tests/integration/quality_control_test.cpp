#include <cmath>
#include <limits>

#include "model_bench.h"

namespace tessuvan::testing {
namespace {

// One attempt of the quality-controlled method evaluates the right-hand side twelve times:
// two half steps (eight) and then the whole step (four), which starts at the attempt's start
// and ends at its end.
struct Attempt {
    WorkingFloat start, length;
};
std::vector<Attempt> AttemptsOf(const std::vector<WorkingFloat>& times)
{
    std::vector<Attempt> attempts;
    for (size_t k = 0; k + 12 <= times.size(); k += 12)
        attempts.push_back({times[k + 8], times[k + 11] - times[k + 8]});
    return attempts;
}
// An attempt is accepted when the next one starts later (or when it is the last).
std::vector<Attempt> AcceptedOf(const std::vector<Attempt>& attempts)
{
    std::vector<Attempt> accepted;
    for (size_t k = 0; k < attempts.size(); ++k)
        if (k + 1 == attempts.size() || attempts[k + 1].start != attempts[k].start) accepted.push_back(attempts[k]);
    return accepted;
}

// The classic step's multiplier for x' = a·x at z = a·h.
WorkingFloat ClassicMultiplier(WorkingFloat z) { return 1 + z + z * z / 2 + z * z * z / 6 + z * z * z * z / 24; }

class QualityControlSteps : public ::testing::Test {
protected:
    std::vector<Attempt> Run(int n, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol, AmountVector& y, int16_t& err)
    {
        model.RecordTimesThrough(1);
        model.times.clear();
        IntegrateRungeKuttaQC(model.rhs, n, t0, t1, tol, y, y, err);
        return AttemptsOf(model.times);
    }
    ModelBench model;
};

TEST_F(QualityControlSteps, ASteadyModelStartsAtTolSqrtOfTheIntervalAndGrowsFourfold)
{
    AmountVector y = Amounts({3, 0});
    int16_t err = -1;
    auto attempts = Run(2, 0, 1, WorkingFloat(1e-4), y, err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(y, Amounts({3, 0}));
    const WorkingFloat expected[] = {0.01, 0.04, 0.16, 0.64, 0.15};
    ASSERT_EQ(attempts.size(), 5u);
    for (size_t k = 0; k < 5; ++k) EXPECT_LT(std::fabs(attempts[k].length - expected[k]), 1e-15) << k;
    EXPECT_EQ(attempts[4].start + attempts[4].length, 1);
}

TEST_F(QualityControlSteps, AmountsBelowTheThresholdNeverLimitTheStep)
{
    model.SetA(1, 1, "-1");
    AmountVector y = Amounts({WorkingFloat(1e-140)});
    int16_t err = -1;
    auto attempts = Run(1, 0, 1, WorkingFloat(1e-4), y, err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(attempts.size(), 5u);
    EXPECT_LT(std::fabs(attempts[3].length - WorkingFloat(0.64)), 1e-15);
}

TEST_F(QualityControlSteps, AModerateExcessKeepsTheStepAndCutsTheNextToATenth)
{
    // a·h = -1 on the first attempt: errmax = |P(-1/2)² / P(-1) - 1| / tol ≈ 182, kept.
    model.SetA(1, 1, "-100");
    const WorkingFloat errmax =
        std::fabs(ClassicMultiplier(-0.5) * ClassicMultiplier(-0.5) / ClassicMultiplier(-1) - 1) / WorkingFloat(1e-4);
    ASSERT_GT(errmax, 1);
    ASSERT_LT(errmax, 6561);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    auto attempts = Run(1, 0, 1, WorkingFloat(1e-4), y, err);
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_LT(RelativeError(attempts[0].length, TESSUVAN_WF(0.01)), 1e-15);
    EXPECT_EQ(attempts[1].start, attempts[0].length) << "the first attempt was kept";
    EXPECT_LT(RelativeError(attempts[1].length, WorkingFloat(0.001)), 1e-12);
}

TEST_F(QualityControlSteps, ALargeExcessRetriesFromTheSameStartWithAShorterStep)
{
    // a·h = -4: errmax ≈ 9800 > 6561, so 0.9·errmax^-0.25 < 0.1 and the attempt is discarded.
    model.SetA(1, 1, "-400");
    const WorkingFloat errmax =
        std::fabs(ClassicMultiplier(-2) * ClassicMultiplier(-2) / ClassicMultiplier(-4) - 1) / WorkingFloat(1e-4);
    ASSERT_GT(errmax, 6561);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    auto attempts = Run(1, 0, 1, WorkingFloat(1e-4), y, err);
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_EQ(attempts[1].start, 0) << "retried from the start";
    const WorkingFloat retried = WorkingFloat(0.9) * WorkingFloat(0.01) * std::pow(errmax, WorkingFloat(-0.25));
    EXPECT_LT(RelativeError(attempts[1].length, retried), 1e-10);
}

TEST_F(QualityControlSteps, TheAcceptedAmountsAreTheHalvesCorrectedByAFifteenthOfTheDifference)
{
    // One attempt covers [0, 0.5] (tol = 1): y = H - (H - W)·0.06666666666666.
    model.SetA(1, 1, "-1");
    AmountVector y = Amounts({1});
    int16_t err = -1;
    auto attempts = Run(1, 0, 0.5, 1, y, err);
    EXPECT_EQ(err, 0);
    ASSERT_EQ(attempts.size(), 1u);
    const WorkingFloat half = ClassicMultiplier(-0.25) * ClassicMultiplier(-0.25);
    const WorkingFloat whole = ClassicMultiplier(-0.5);
    const WorkingFloat expected = half - (half - whole) * TESSUVAN_WF(0.06666666666666);
    EXPECT_LT(RelativeError(y[1], expected), Ulps(16));
    EXPECT_EQ(y[2], 1002) << "entries beyond n carried over";
}

TEST(QualityControlBudget, MoreStepsThanOneOverTheToleranceGiveCode2)
{
    // An undamped oscillator over a thousand time units needs far more than 65 steps at
    // tol = 1/64.
    ModelBench model;
    model.SetA(1, 2, "1");
    model.SetA(2, 1, "-1");
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({1, 0});
    int16_t err = -1;
    IntegrateRungeKuttaQC(model.rhs, 2, 0, 1000, WorkingFloat(0.015625), y, y, err);
    EXPECT_EQ(err, TessuvanIntegrationStepBudget);
    auto accepted = AcceptedOf(AttemptsOf(model.times));
    EXPECT_EQ(accepted.size(), 65u) << "the step past the budget is still taken";
    EXPECT_LT(accepted.back().start + accepted.back().length, 1000);
}

TEST(QualityControlBudget, PassingTheBudgetOnTheLastStepStillGivesCode2)
{
    // tol = 0.9 allows one step; the steady model needs two (0.949 and the rest).
    ModelBench model;
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    IntegrateRungeKuttaQC(model.rhs, 1, 0, 1, WorkingFloat(0.9), y, y, err);
    EXPECT_EQ(err, TessuvanIntegrationStepBudget);
    auto attempts = AttemptsOf(model.times);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[1].start + attempts[1].length, 1);
}

TEST(QualityControlArguments, BadArgumentsGiveTheirCodeAndCopyTheEntryAmounts)
{
    ModelBench model;
    model.SetA(1, 1, "-1");
    const WorkingFloat nan = std::numeric_limits<WorkingFloat>::quiet_NaN();
    struct Case {
        WorkingFloat t0, t1, tol;
        int16_t code;
    } cases[] = {{0, 1, 0, TessuvanIntegrationTolerance},
                 {0, 1, ObservationThreshold, TessuvanIntegrationTolerance},
                 {1, 1, 0.01, TessuvanIntegrationInterval},
                 {2, 1, -1, TessuvanIntegrationInterval},
                 {0, 1, nan, TessuvanIntegrationStepLength},
                 {nan, 1, 0.01, TessuvanIntegrationStepLength}};
    for (const Case& c : cases) {
        AmountVector yin = Amounts({1}), yout = Amounts({7, 7});
        int16_t err = 0;
        IntegrateRungeKuttaQC(model.rhs, 1, c.t0, c.t1, c.tol, yin, yout, err);
        EXPECT_EQ(err, c.code) << static_cast<double>(c.t0) << " " << static_cast<double>(c.t1) << " "
                               << static_cast<double>(c.tol);
        EXPECT_EQ(yout, yin);
    }
}

TEST(QualityControlArguments, AnInfiniteErrorEstimateEndsTheCallWithCode5)
{
    // x' = x + e^(1/(t - 1/4)): the first half step samples t = 0.25 exactly, where the rate
    // overflows, so the halves end at +inf while the whole step stays finite. The shrunken
    // step is then 0·h, and the call ends where it started.
    ModelBench model;
    model.SetA(1, 1, "1");
    model.SetF(1, "EX(1/(T-0.25))");
    AmountVector y = Amounts({1});
    int16_t err = -1;
    IntegrateRungeKuttaQC(model.rhs, 1, 0, 1, 1, y, y, err);
    EXPECT_EQ(err, TessuvanIntegrationStepLength);
    EXPECT_EQ(y, Amounts({1}));
}

}  // namespace
}  // namespace tessuvan::testing
