#include <cmath>
#include <limits>

#include "integration/interval.h"
#include "model_bench.h"

namespace tessuvan::testing {
namespace {

// Step starts and lengths from the recorded evaluation times of a fixed-step method whose
// step evaluates the right-hand side stagesPerStep times, the first at its start and the last
// at its end.
struct Steps {
    std::vector<WorkingFloat> starts, lengths;
};
Steps StepsOf(const std::vector<WorkingFloat>& times, size_t stagesPerStep)
{
    Steps steps;
    for (size_t k = 0; k + stagesPerStep <= times.size(); k += stagesPerStep) {
        steps.starts.push_back(times[k]);
        steps.lengths.push_back(times[k + stagesPerStep - 1] - times[k]);
    }
    return steps;
}

struct FixedMethod {
    const char* name;
    Integrator integrate;
    size_t stages;
};
const FixedMethod kFixedMethods[] = {{"RUNGE-KUTTA 4", IntegrateRungeKutta4, 4},
                                     {"RUNGE-KUTTA 5", IntegrateRungeKutta5, 5}};

class FixedStepLength : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.SetA(1, 1, "-1");
        model.RecordTimesThrough(1);
    }
    Steps Run(const FixedMethod& method, WorkingFloat t0, WorkingFloat t1, WorkingFloat tol)
    {
        model.times.clear();
        AmountVector y = Amounts({1});
        int16_t err = -1;
        method.integrate(model.rhs, 1, t0, t1, tol, y, y, err);
        EXPECT_EQ(err, 0) << method.name;
        if (!model.times.empty()) {
            EXPECT_EQ(model.times.back(), t1) << method.name << ": the last step ends at t1";
        }
        return StepsOf(model.times, method.stages);
    }
    ModelBench model;
};

TEST_F(FixedStepLength, AQuarterToleranceTakesTwoHalfSteps)
{
    for (const FixedMethod& method : kFixedMethods) {
        Steps steps = Run(method, 0, 1, 0.25);
        ASSERT_EQ(steps.starts.size(), 2u) << method.name;
        EXPECT_EQ(steps.starts[1], 0.5);
        EXPECT_EQ(steps.lengths[0], 0.5);
        EXPECT_EQ(steps.lengths[1], 0.5);
    }
}

TEST_F(FixedStepLength, AToleranceOfOneOrMoreTakesTheWholeIntervalInOneStep)
{
    for (const FixedMethod& method : kFixedMethods) {
        for (WorkingFloat tol : {WorkingFloat(1), WorkingFloat(9)}) {
            Steps steps = Run(method, 2, 5, tol);
            ASSERT_EQ(steps.starts.size(), 1u) << method.name << " tol " << static_cast<double>(tol);
            EXPECT_EQ(steps.starts[0], 2);
            EXPECT_EQ(steps.lengths[0], 3);
        }
    }
}

TEST_F(FixedStepLength, ASinglePrecisionTenThousandthEndsWithAVeryShortHundredAndFirstStep)
{
    // 0.0001 as a 32-bit float is slightly below 0.0001, so the steps are slightly below 0.01.
    const WorkingFloat tol = static_cast<WorkingFloat>(0.0001f);
    for (const FixedMethod& method : kFixedMethods) {
        Steps steps = Run(method, 0, 1, tol);
        ASSERT_EQ(steps.starts.size(), 101u) << method.name;
        EXPECT_LT(steps.lengths[0], 0.01);
        EXPECT_GT(steps.lengths[0], 0.0099999);
        EXPECT_LT(steps.starts[100], 1);
        EXPECT_GT(steps.starts[100], 0.99999998);
        EXPECT_LT(steps.lengths[100], 1e-7);
    }
}

TEST_F(FixedStepLength, AStepTooShortForTheClockGoesStraightToTheEnd)
{
    // At t = 2^40 a step of about 1e-9 does not change t in either build; the interval 2^-10
    // is representable in both.
    const WorkingFloat t0 = std::ldexp(WorkingFloat(1), 40);
    const WorkingFloat t1 = t0 + std::ldexp(WorkingFloat(1), -10);
    for (const FixedMethod& method : kFixedMethods) {
        model.times.clear();
        AmountVector y = Amounts({1});
        int16_t err = -1;
        method.integrate(model.rhs, 1, t0, t1, WorkingFloat(1e-12), y, y, err);
        EXPECT_EQ(err, 0) << method.name;
        EXPECT_EQ(model.times.size(), method.stages) << method.name << ": one step";
        EXPECT_LT(RelativeError(y[1], std::exp(-(t1 - t0))), 1e-12) << method.name;
    }
}

TEST(FixedStepArguments, ANonPositiveToleranceGivesCode1AndIntegratesNothing)
{
    ModelBench model;
    model.SetA(1, 1, "-1");
    for (const FixedMethod& method : kFixedMethods) {
        for (WorkingFloat tol : {WorkingFloat(0), WorkingFloat(-1)}) {
            AmountVector yin = Amounts({1}), yout = Amounts({7, 7});
            int16_t err = 0;
            method.integrate(model.rhs, 1, 0, 1, tol, yin, yout, err);
            EXPECT_EQ(err, TessuvanIntegrationTolerance) << method.name;
            EXPECT_EQ(yout, Amounts({7, 7})) << method.name << ": yout is not written";
            method.integrate(model.rhs, 1, 0, 1, tol, yin, yin, err);
            EXPECT_EQ(yin, Amounts({1})) << method.name;
        }
    }
}

TEST(FixedStepArguments, AnEmptyOrReversedIntervalGivesCode3WhateverTheTolerance)
{
    ModelBench model;
    model.SetA(1, 1, "-1");
    for (const FixedMethod& method : kFixedMethods) {
        for (WorkingFloat tol : {WorkingFloat(0.01), WorkingFloat(0)}) {
            for (WorkingFloat t1 : {WorkingFloat(1), WorkingFloat(0.5)}) {
                AmountVector y = Amounts({1});
                int16_t err = 0;
                method.integrate(model.rhs, 1, 1, t1, tol, y, y, err);
                EXPECT_EQ(err, TessuvanIntegrationInterval) << method.name;
                EXPECT_EQ(y, Amounts({1})) << method.name;
            }
        }
    }
}

TEST(IntervalChecks, DeriveTheFirstStepFromTheToleranceAndRefuseWhatLeavesNothingToDo)
{
    IntervalStart start = CheckInterval(kFixedStepArguments, 2, 6, 0.0625);
    EXPECT_EQ(start.err, 0);
    EXPECT_EQ(start.h, 1);
    EXPECT_EQ(CheckInterval(kFixedStepArguments, 2, 6, 0).err, TessuvanIntegrationTolerance);
    EXPECT_EQ(CheckInterval(kFixedStepArguments, 6, 2, -1).err, TessuvanIntegrationInterval);
    const WorkingFloat nan = std::numeric_limits<WorkingFloat>::quiet_NaN();
    EXPECT_EQ(CheckInterval(kFixedStepArguments, 2, 6, nan).err, TessuvanIntegrationStepLength);
    const WorkingFloat tiny = std::numeric_limits<WorkingFloat>::denorm_min();
    EXPECT_EQ(CheckInterval(kFixedStepArguments, 0, tiny, 0.25).err, TessuvanIntegrationStepLength)
        << "the step underflows";
    EXPECT_EQ(CheckInterval(kFixedStepArguments, 0, 1, ObservationThreshold).err, 0);
    EXPECT_EQ(CheckInterval(kQualityControlArguments, 0, 1, ObservationThreshold).err, TessuvanIntegrationTolerance);
}

// A tolerance of 1 on [t, t + h] is one step of length h, on either coefficient source.
void OneStep(Integrator method, const RightHandSide& rhs, WorkingFloat t, WorkingFloat h, AmountVector& y)
{
    int16_t err = -1;
    method(rhs, 1, t, t + h, 1, y, y, err);
    EXPECT_EQ(err, 0);
}

// One step on x' = -x from x = 1 is the step's stability polynomial at -h.
class RungeKuttaSteps : public ::testing::Test {
protected:
    void SetUp() override { model.SetA(1, 1, "-1"); }
    ModelBench model;
};

TEST_F(RungeKuttaSteps, TheClassicStepMultipliesDecayByTheQuarticTaylorPolynomial)
{
    for (const RightHandSide& rhs : {model.rhs, model.Planned(1)}) {
        for (WorkingFloat h : {WorkingFloat(0.1), WorkingFloat(0.5), WorkingFloat(1.25)}) {
            AmountVector y = Amounts({1});
            OneStep(IntegrateRungeKutta4, rhs, 0, h, y);
            const WorkingFloat expected = 1 - h + h * h / 2 - h * h * h / 6 + h * h * h * h / 24;
            EXPECT_LT(RelativeError(y[1], expected), Ulps(8)) << static_cast<double>(h);
            EXPECT_EQ(y[2], 1002) << "only species 1..n change";
        }
    }
}

TEST_F(RungeKuttaSteps, TheFehlbergStepAlsoSubtractsTheFifthPowerOver104)
{
    for (const RightHandSide& rhs : {model.rhs, model.Planned(1)}) {
        for (WorkingFloat h : {WorkingFloat(0.1), WorkingFloat(0.5), WorkingFloat(1.25)}) {
            AmountVector y = Amounts({1});
            OneStep(IntegrateRungeKutta5, rhs, 0, h, y);
            const WorkingFloat h5 = h * h * h * h * h;
            const WorkingFloat expected = 1 - h + h * h / 2 - h * h * h / 6 + h * h * h * h / 24 - h5 / 104;
            EXPECT_LT(RelativeError(y[1], expected), Ulps(16)) << static_cast<double>(h);
        }
    }
}

TEST(RungeKuttaStageTimes, BothStepsIntegrateACubicInTimeExactly)
{
    // x' = t³ + 2·t: fourth-order weights integrate any cubic exactly, but only when every
    // stage is evaluated at its own time.
    ModelBench model;
    model.SetF(1, "T^3+2*T");
    auto exact = [](WorkingFloat t) { return t * t * t * t / 4 + t * t; };
    for (const RightHandSide& rhs : {model.rhs, model.Planned(1)}) {
        for (Integrator method : {IntegrateRungeKutta4, IntegrateRungeKutta5}) {
            AmountVector y = Amounts({exact(1)});
            OneStep(method, rhs, 1, 0.75, y);
            EXPECT_LT(RelativeError(y[1], exact(1.75)), Ulps(16));
        }
    }
}

}  // namespace
}  // namespace tessuvan::testing
