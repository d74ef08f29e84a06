// Behaviour every method shares: the routine contract, bounded work on any arguments, and
// convergence to an analytic solution.
#include <cmath>
#include <limits>
#include <string>

#include "model_bench.h"

namespace tessuvan::testing {
namespace {

const char* const kMethodNames[] = {"CHU-BERMAN", "RUNGE-KUTTA QC", "RUNGE-KUTTA 4", "RUNGE-KUTTA 5"};

class EveryMethod : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        integrate = IntegratorNamed(GetParam());
        ASSERT_NE(integrate, nullptr);
    }
    Integrator integrate = nullptr;
    ModelBench model;
};

TEST_P(EveryMethod, ClearsTheCodeAndCarriesSpeciesBeyondTheCountOver)
{
    model.SetA(1, 1, "-1");
    AmountVector yin = Amounts({1}), yout = Amounts({7, 7, 7});
    int16_t err = 123;
    integrate(model.rhs, 1, 0, 1, WorkingFloat(1e-4), yin, yout, err);
    EXPECT_EQ(err, 0);
    EXPECT_LT(RelativeError(yout[1], std::exp(WorkingFloat(-1))), 1e-3);
    for (int i = 2; i <= kMaxSpecies; ++i) EXPECT_EQ(yout[i], yin[i]) << i;
}

TEST_P(EveryMethod, LeavesTheTimeAndAmountCellsAsItFoundThem)
{
    model.SetA(1, 1, "-F2*T");
    model.SetA(2, 1, "F1");
    model.SetF(2, "T");
    model.variables().CurrentTime = 42;
    model.variables().SpeciesAmounts = Amounts({-1, -2, -3});
    const FormulaVariables before = model.variables();
    AmountVector y = Amounts({1, 0.5});
    int16_t err = -1;
    integrate(model.rhs, 2, 0, 2, WorkingFloat(1e-6), y, y, err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(model.variables().CurrentTime, before.CurrentTime);
    EXPECT_EQ(model.variables().SpeciesAmounts, before.SpeciesAmounts);
}

TEST_P(EveryMethod, EndsAtOnceWithCode5WhenATimeOrTheToleranceIsNotANumber)
{
    model.SetA(1, 1, "-1");
    model.RecordTimesThrough(1);
    const WorkingFloat nan = std::numeric_limits<WorkingFloat>::quiet_NaN();
    const WorkingFloat cases[][3] = {{0, 1, nan}, {nan, 1, 0.01}, {0, nan, 0.01}, {nan, nan, nan}};
    for (const auto& c : cases) {
        AmountVector y = Amounts({1});
        int16_t err = 0;
        integrate(model.rhs, 1, c[0], c[1], c[2], y, y, err);
        EXPECT_EQ(err, TessuvanIntegrationStepLength);
        EXPECT_EQ(y, Amounts({1}));
    }
    EXPECT_LE(model.times.size(), 4u) << "at most the set-up evaluation of the first step";
}

TEST_P(EveryMethod, TakesAStepTooShortForTheClockStraightToTheEnd)
{
    // At t = 2^40 a step of about 1e-9 does not change t in either build; without care the
    // loop would never end.
    model.SetA(1, 1, "-1");
    model.RecordTimesThrough(1);
    const WorkingFloat t0 = std::ldexp(WorkingFloat(1), 40);
    const WorkingFloat t1 = t0 + std::ldexp(WorkingFloat(1), -10);
    AmountVector y = Amounts({1});
    int16_t err = -1;
    integrate(model.rhs, 1, t0, t1, WorkingFloat(1e-12), y, y, err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(model.times.back(), t1);
    EXPECT_LT(RelativeError(y[1], std::exp(-(t1 - t0))), 1e-12);
}

// A tolerance far too small (1e-20) would take 1e10 steps or more per interval: the ceiling on
// the steps ends the interval with code 6 and the amounts of the time reached, short of t1.
// "RUNGE-KUTTA QC" shrinks its step to the clock's resolution instead and takes the rest of
// the interval in one step, so it never meets the ceiling here.
TEST_P(EveryMethod, EndsAnIntervalAtTheCeilingOnItsStepsWithCode6)
{
    if (std::string(GetParam()) == "RUNGE-KUTTA QC") GTEST_SKIP() << "bounded by its own step rules";
    // dx/dt = -t·x, x(0) = 1: x(1) = exp(-1/2).
    model.SetA(1, 1, "-T");
    AmountVector y = Amounts({1});
    int16_t err = 0;
    integrate(model.rhs, 1, 0, 1, WorkingFloat(1e-20), y, y, err);
    EXPECT_EQ(err, TessuvanIntegrationStepCeiling);
    EXPECT_LT(y[1], 1);
    EXPECT_GT(y[1], std::exp(WorkingFloat(-0.5)));
}

TEST_P(EveryMethod, WithNoSpeciesChangesNothing)
{
    AmountVector y = Amounts({});
    int16_t err = -1;
    integrate(model.rhs, 0, 0, 1, WorkingFloat(0.01), y, y, err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(y, Amounts({}));
}

INSTANTIATE_TEST_SUITE_P(ByName, EveryMethod, ::testing::ValuesIn(kMethodNames),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == ' ' || c == '-') c = '_';
                             return name;
                         });

// One-compartment oral absorption: a dose D in the gut (x1) absorbed at rate ka into the
// body (x2), eliminated at rate ke. A = [[-ka, 0], [ka, -ke]], F = 0.
//   x1(t) = D·e^(-ka·t),  x2(t) = D·ka/(ka - ke)·(e^(-ke·t) - e^(-ka·t))
class OralAbsorption : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.SetA(1, 1, "-1.5");
        model.SetA(2, 1, "1.5");
        model.SetA(2, 2, "-0.3");
    }
    // Largest relative error of the two species at t = 4 after one interval.
    WorkingFloat Error(const char* method, WorkingFloat tol)
    {
        const WorkingFloat ka = 1.5, ke = 0.3, D = 100, t = 4;
        AmountVector y = Amounts({D, 0});
        int16_t err = -1;
        IntegratorNamed(method)(model.rhs, 2, 0, t, tol, y, y, err);
        EXPECT_EQ(err, 0) << method;
        const WorkingFloat x1 = D * std::exp(-ka * t);
        const WorkingFloat x2 = D * ka / (ka - ke) * (std::exp(-ke * t) - std::exp(-ka * t));
        return std::max(RelativeError(y[1], x1), RelativeError(y[2], x2));
    }
    // The exponent p in error ∝ tol^p between two tolerances.
    WorkingFloat Order(const char* method, WorkingFloat loose, WorkingFloat tight)
    {
        return std::log(Error(method, loose) / Error(method, tight)) / std::log(loose / tight);
    }
    ModelBench model;
};

TEST_F(OralAbsorption, FixedStepMethodsConvergeAtFourthOrderInTheStep)
{
    // h = 4·√tol, so error ∝ h⁴ ∝ tol².
    EXPECT_NEAR(Order("RUNGE-KUTTA 4", 1e-3, 1e-5), 2, 0.1);
    EXPECT_NEAR(Order("RUNGE-KUTTA 5", 1e-3, 1e-5), 2, 0.1);
    EXPECT_LT(Error("RUNGE-KUTTA 5", 1e-4), Error("RUNGE-KUTTA 4", 1e-4));
}

TEST_F(OralAbsorption, QualityControlConvergesAsTheFourFifthsPowerOfTheTolerance)
{
    // The step-doubling difference is fifth order in h, so h ∝ tol^(1/5), and the global
    // error of fourth-order steps ∝ h⁴ ∝ tol^(4/5).
    EXPECT_NEAR(Order("RUNGE-KUTTA QC", 1e-6, 1e-10), 0.8, 0.08);
}

TEST_F(OralAbsorption, ChuBermanConvergesAsTheTwoThirdsPowerOfTheTolerance)
{
    // The error measure h·C/x is third order in h, so h ∝ tol^(1/3), and the coupling from
    // the gut into the body is followed to second order: error ∝ tol^(2/3). The gut itself
    // (a diagonal entry only) is exact.
    EXPECT_NEAR(Order("CHU-BERMAN", 1e-6, 1e-10), 2.0 / 3, 0.07);
}

TEST(MethodSelection, EachOfTheFourNamesSelectsItsMethodAndNothingElseSelectsAny)
{
    EXPECT_EQ(IntegratorNamed("CHU-BERMAN"), IntegrateChuBerman);
    EXPECT_EQ(IntegratorNamed("RUNGE-KUTTA QC"), IntegrateRungeKuttaQC);
    EXPECT_EQ(IntegratorNamed("RUNGE-KUTTA 4"), IntegrateRungeKutta4);
    EXPECT_EQ(IntegratorNamed("RUNGE-KUTTA 5"), IntegrateRungeKutta5);
    for (const char* other : {"", "runge-kutta 4", "RUNGE-KUTTA 4 ", "RUNGE-KUTTA", "CHU BERMAN"})
        EXPECT_EQ(IntegratorNamed(other), nullptr) << other;
}

}  // namespace
}  // namespace tessuvan::testing
