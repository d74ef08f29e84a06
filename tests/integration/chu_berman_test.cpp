#include <cmath>
#include <limits>

#include "integration/chu_berman.h"
#include "model_bench.h"

namespace tessuvan::testing {
namespace {

// Steps of the exponential method from the recorded evaluation times: one at the start of a
// step (t), then two per attempt (t + h/10 and t + h). The step after an attempt starts at
// that attempt's end exactly when the attempt was accepted.
struct ExponentialStep {
    WorkingFloat start, length;
    int attempts;
};
std::vector<ExponentialStep> StepsOf(const std::vector<WorkingFloat>& times)
{
    std::vector<ExponentialStep> steps;
    size_t i = 0;
    while (i + 3 <= times.size()) {
        ExponentialStep step{times[i], 0, 0};
        ++i;
        while (i + 2 <= times.size()) {
            const WorkingFloat end = times[i + 1];
            i += 2;
            ++step.attempts;
            if (i == times.size() || times[i] == end) {
                step.length = end - step.start;
                break;
            }
        }
        steps.push_back(step);
    }
    return steps;
}

TEST(ExponentialWeights, GiveTheClosedFormsForModerateRates)
{
    ModelMatrix A0{};
    A0[1][1] = -1;
    A0[1][2] = 99;  // only the diagonal counts
    AmountVector q{}, r{}, s{};
    ExponentialWeights(AnyCount{1}, 0.1, A0, q, r, s);
    EXPECT_NEAR(q[1], 0.0951625819640405, 1e-16);
    EXPECT_NEAR(r[1], 0.0048374180359595, 1e-16);
    EXPECT_NEAR(s[1], 0.0001625819640405, 1e-16);
    A0[1][1] = -50;
    ExponentialWeights(AnyCount{1}, 0.2, A0, q, r, s);
    EXPECT_NEAR(q[1], 0.0199990920014048, 1e-16);
    EXPECT_NEAR(r[1], 0.0036000181599719, 1e-16);
    EXPECT_NEAR(s[1], 0.0003279996368006, 1e-16);
}

TEST(ExponentialWeights, TakeTheSeriesLimitsBelowTheThreshold)
{
    ModelMatrix A0{};
    A0[1][1] = WorkingFloat(-1e-8);  // |a| below 1e-7
    A0[2][2] = -3;                   // |a·h| below 1e-7 for h = 1e-8
    AmountVector q{}, r{}, s{};
    ExponentialWeights(AnyCount{1}, 2, A0, q, r, s);
    EXPECT_EQ(q[1], 2);
    EXPECT_EQ(r[1], 2);
    EXPECT_EQ(s[1], WorkingFloat(4) / 3);
    const WorkingFloat h = WorkingFloat(1e-8);
    ExponentialWeights(AnyCount{2}, h, A0, q, r, s);
    EXPECT_EQ(q[2], h);
    EXPECT_EQ(r[2], h * h / 2);
    EXPECT_EQ(s[2], h * h / 2 * h / 3);
    // At the threshold itself the closed forms hold: q = (1 - e^-0.2)/0.1, not h = 2.
    A0[1][1] = TESSUVAN_WF(-0.1);
    ExponentialWeights(AnyCount{1}, 2, A0, q, r, s);
    EXPECT_NEAR(q[1], 1.8126924692201814, 1e-14);
    A0[1][1] = TESSUVAN_WF(-1e-7);
    ExponentialWeights(AnyCount{1}, 2, A0, q, r, s);
    EXPECT_NE(q[1], 2);
    EXPECT_LT(std::fabs(q[1] - (2 - WorkingFloat(2e-7))), 1e-8);
}

TEST(LinearizationRemainder, IsWhatTheModelAddsToItsFrozenLinearPart)
{
    ModelBench model;
    model.SetA(1, 1, "-F1");
    model.SetF(1, "T");
    Coefficients<AnyCount> c0{}, c{};
    c0.A[1][1] = -2;
    c0.F[1] = 5;
    AmountVector R{};
    LinearizationRemainder(FormulaCoefficients(model.rhs), AnyCount{1}, c, 3, Amounts({4}), c0, R);
    EXPECT_EQ(R[1], -4 * 4 - (-2 * 4) + 3 - 5);
}

class ChuBerman : public ::testing::Test {
protected:
    ModelBench model;
};

TEST_F(ChuBerman, ReproducesTheExactSolutionOfAConstantRateModelWithDoublingSteps)
{
    // x1' = -2·x1 + 3 from 5; species 2 stays at 0 and never limits the step.
    model.SetA(1, 1, "-2");
    model.SetF(1, "3");
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({5, 0});
    int16_t err = -1;
    IntegrateChuBerman(model.rhs, 2, 0, 1, WorkingFloat(1e-4), y, y, err);
    EXPECT_EQ(err, 0);
    const WorkingFloat exact = WorkingFloat(1.5) + WorkingFloat(3.5) * std::exp(WorkingFloat(-2));
    EXPECT_LT(RelativeError(y[1], exact), Ulps(32));
    EXPECT_EQ(y[2], 0);
    EXPECT_EQ(y[3], 1003) << "entries beyond n carried over";

    auto steps = StepsOf(model.times);
    const WorkingFloat third = WorkingFloat(1) / 3;
    const WorkingFloat expected[] = {0.02, 0.04, 0.08, 0.16, 0.32, third, 1 - (0.62 + third)};
    ASSERT_EQ(steps.size(), 7u);
    for (size_t k = 0; k < 7; ++k) {
        EXPECT_LT(std::fabs(steps[k].length - expected[k]), 1e-15) << k;
        EXPECT_EQ(steps[k].attempts, 1) << k;
    }
    EXPECT_EQ(model.times.back(), 1) << "the last step lands on t1";
}

TEST_F(ChuBerman, AForcingLinearInTimeIsFollowedExactly)
{
    // x' = -2·x + 3·t from 1: x(t) = 1.5·t - 0.75 + 1.75·e^(-2t). The remainder of the
    // frozen model grows linearly along each step; sampled at a tenth of the step it gives
    // the forcing's slope exactly, the third-order term vanishes, and every step is exact.
    model.SetA(1, 1, "-2");
    model.SetF(1, "3*T");
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    IntegrateChuBerman(model.rhs, 1, 0, 2, WorkingFloat(1e-4), y, y, err);
    EXPECT_EQ(err, 0);
    const WorkingFloat exact = TESSUVAN_WF(2.25) + TESSUVAN_WF(1.75) * std::exp(WorkingFloat(-4));
    EXPECT_LT(RelativeError(y[1], exact), Ulps(64));
    for (const auto& step : StepsOf(model.times)) EXPECT_EQ(step.attempts, 1);
}

TEST_F(ChuBerman, TheCouplingTermIsWeightedByTheThirdWeightOverTheSquaredStep)
{
    // x1' = -x1, x2' = x1 from (1, 0); species 2 has no diagonal, so its weights are the
    // series h, h²/2, h³/6. One step of length h gives species 1 exactly e^-h and species 2
    //   h·D2 + (h²/2)·(A·D)2 + (h³/6)/h² · C2,   D2 = 1, (A·D)2 = -1, C2 = (A·W)2 = r1
    // with r1 = (e^-h - 1 + h), the weight of species 1. The time and the amount of species 2
    // are noted at the start of every step.
    model.SetA(1, 1, "-1");
    model.SetA(2, 1, "1");
    model.RecordThrough(1, &model.variables().SpeciesAmounts[2]);
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({1, 0});
    int16_t err = -1;
    IntegrateChuBerman(model.rhs, 2, 0, 3, WorkingFloat(1e-4), y, y, err);
    ASSERT_EQ(err, 0);
    // Each evaluation notes (t, x2): once at a step's start, twice per attempt. The accepted
    // attempt of the first step ends at the time at which the second step starts.
    WorkingFloat h = 0, x2 = 0;
    for (size_t m = 1; 2 * m + 3 < model.times.size(); ++m) {
        if (model.times[2 * m] == model.times[2 * m + 2]) {
            h = model.times[2 * m + 2];
            x2 = model.times[2 * m + 3];
            break;
        }
    }
    ASSERT_GT(h, 0);
    const WorkingFloat r1 = std::exp(-h) - 1 + h;
    const WorkingFloat expected = h - h * h / 2 + h * h * h / 6 / (h * h) * r1;
    EXPECT_LT(RelativeError(x2, expected), Ulps(64)) << static_cast<double>(h);
}

TEST_F(ChuBerman, AFastLossDoesNotForceShortSteps)
{
    // x' = -50·x + 10 from 5 over [0, 3]: a·h reaches -50 and beyond, yet every step is the
    // exact solution c/k + (x - c/k)·e^(-k·h), and the steps keep doubling up to L = 1.
    model.SetA(1, 1, "-50");
    model.SetF(1, "10");
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({5});
    int16_t err = -1;
    IntegrateChuBerman(model.rhs, 1, 0, 3, WorkingFloat(1e-4), y, y, err);
    EXPECT_EQ(err, 0);
    const WorkingFloat exact = TESSUVAN_WF(0.2) + TESSUVAN_WF(4.8) * std::exp(WorkingFloat(-150));
    EXPECT_LT(RelativeError(y[1], exact), Ulps(32));
    EXPECT_LE(StepsOf(model.times).size(), 8u);
}

TEST_F(ChuBerman, ANonlinearModelIsFollowedCloserAsTheToleranceShrinks)
{
    // x' = -x·x from 1: x(t) = 1/(1 + t). The remainder of the frozen model is not zero here,
    // so the correction terms and the error measure are at work.
    model.SetA(1, 1, "-F1");
    WorkingFloat previous = 1;
    for (WorkingFloat tol : {WorkingFloat(1e-4), WorkingFloat(1e-6), WorkingFloat(1e-8)}) {
        AmountVector y = Amounts({1});
        int16_t err = -1;
        IntegrateChuBerman(model.rhs, 1, 0, 4, tol, y, y, err);
        EXPECT_EQ(err, 0);
        const WorkingFloat error = RelativeError(y[1], 0.2);
        // Second order in the step, whose length the error measure ties to tol^(1/3).
        EXPECT_LT(error, std::cbrt(tol * tol)) << static_cast<double>(tol);
        EXPECT_LT(error, previous / 10) << static_cast<double>(tol);
        previous = error;
    }
}

TEST_F(ChuBerman, BadArgumentsGiveTheCodesOfTheOtherMethodsAndLeaveTheAmounts)
{
    model.SetA(1, 1, "-1");
    struct Case {
        WorkingFloat t0, t1, tol;
        int16_t code;
    } cases[] = {{0, 1, 0, TessuvanIntegrationTolerance},
                 {0, 1, -1, TessuvanIntegrationTolerance},
                 {1, 1, 0.01, TessuvanIntegrationInterval},
                 {2, 1, 0.01, TessuvanIntegrationInterval},
                 {2, 1, -1, TessuvanIntegrationInterval}};
    for (const Case& c : cases) {
        AmountVector yin = Amounts({1}), yout = Amounts({7, 7});
        int16_t err = 0;
        IntegrateChuBerman(model.rhs, 1, c.t0, c.t1, c.tol, yin, yout, err);
        EXPECT_EQ(err, c.code);
        EXPECT_EQ(yout, yin);
        IntegrateChuBerman(model.rhs, 1, c.t0, c.t1, c.tol, yin, yin, err);
        EXPECT_EQ(yin, Amounts({1}));
    }
}

TEST_F(ChuBerman, AStepBelowTheThresholdStopsShortWithCode2)
{
    // On [0, 1e-125] with tol = 1e-20 the first attempt is 2e-135, below 1e-130: it is
    // applied, and the end is not reached.
    model.SetA(1, 1, "-1");
    model.RecordTimesThrough(1);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    IntegrateChuBerman(model.rhs, 1, 0, TESSUVAN_WF(1e-125), TESSUVAN_WF(1e-20), y, y, err);
    EXPECT_EQ(err, 2 * TessuvanIntegrationShortStep);
    EXPECT_EQ(model.times.size(), 3u) << "one step, one attempt";
    EXPECT_EQ(y[1], 1);
}

}  // namespace
}  // namespace tessuvan::testing
