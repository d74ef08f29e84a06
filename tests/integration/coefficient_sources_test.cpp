// Every method runs one body whichever coefficient source feeds it (the compiled formulas, or
// the plan of the equations) and whatever the species count (known at compile time up to
// four, at run time beyond): every pair follows closed-form solutions, and the pairs end with
// the same amounts to the last bit.
#include <cmath>
#include <limits>
#include <string>

#include "integration/right_hand_side_plan.h"
#include "model_bench.h"

namespace tessuvan::testing {
namespace {

const char* const kMethodNames[] = {"CHU-BERMAN", "RUNGE-KUTTA QC", "RUNGE-KUTTA 4", "RUNGE-KUTTA 5"};
constexpr int kLargestCount = 6;
constexpr WorkingFloat kTolerance = 1e-8;
// Relative: far above what any method leaves at this tolerance (QC ~ tol^0.8, CHU-BERMAN
// ~ tol^(2/3)), far below what a wrong coefficient, stage time or species loop gives.
constexpr WorkingFloat kAccuracy = 2e-5;

class EveryBody : public ::testing::TestWithParam<const char*> {
protected:
    // Integrates [t0, t1] through the formulas and through a plan; checks that both agree bit
    // for bit.
    void Integrate(ModelBench& model, const RightHandSide& planned, int n, WorkingFloat t0, WorkingFloat t1,
                   AmountVector& yPlain, AmountVector& yPlanned)
    {
        const Integrator method = IntegratorNamed(GetParam());
        int16_t errPlain = -1, errPlanned = -1;
        method(model.rhs, n, t0, t1, kTolerance, yPlain, yPlain, errPlain);
        method(planned, n, t0, t1, kTolerance, yPlanned, yPlanned, errPlanned);
        EXPECT_EQ(errPlain, 0);
        EXPECT_EQ(errPlanned, 0);
        for (int i = 1; i <= kMaxSpecies; ++i)
            EXPECT_TRUE(SameBits(yPlain[i], yPlanned[i])) << "n " << n << " species " << i;
    }
};

TEST_P(EveryBody, AChainOfLossesFollowsItsClosedFormAcrossANewParameterValue)
{
    // x1' = -k·x1, xi' = k·x(i-1) - k·xi, k = A1, fixed within an interval: from x = (1, 0, ...)
    //   xi(t) = e^(-kτ)·Σ_{j<=i} (kτ)^(i-j)/(i-j)!·xj(t0),  τ = t - t0
    // on each interval, k changed between them (the plan must evaluate it again).
    for (int n = 1; n <= kLargestCount; ++n) {
        ModelBench model;
        for (int i = 1; i <= n; ++i) {
            model.SetA(i, i, "-A1");
            if (i > 1) model.SetA(i, i - 1, "A1");
        }
        const RightHandSide planned = model.Planned(n);
        AmountVector yPlain = Amounts({});
        for (int i = 1; i <= n; ++i) yPlain[i] = i == 1 ? 1 : 0;
        AmountVector yPlanned = yPlain, expected = yPlain;
        WorkingFloat t = 0;
        for (WorkingFloat k : {WorkingFloat(0.7), WorkingFloat(1.9)}) {
            model.variables().AdjustableValues[1] = k;
            Integrate(model, planned, n, t, t + 2, yPlain, yPlanned);
            const AmountVector start = expected;
            for (int i = 1; i <= n; ++i) {
                WorkingFloat sum = 0, term = 1;  // term = (2k)^m / m!
                for (int m = 0; m < i; ++m) {
                    sum += term * start[i - m];
                    term *= 2 * k / (m + 1);
                }
                expected[i] = std::exp(-2 * k) * sum;
            }
            t = t + 2;
        }
        for (int i = 1; i <= n; ++i) EXPECT_LT(RelativeError(yPlain[i], expected[i]), kAccuracy) << "n " << n << " species " << i;
        for (int i = n + 1; i <= kMaxSpecies; ++i) EXPECT_EQ(yPlain[i], 1000 + i) << "carried over";
    }
}

TEST_P(EveryBody, CoefficientsThatReadTheTimeFollowTheirClosedForm)
{
    // xi' = -2·ci·t·xi + 2·ci·t·i with ci = i/4: xi(t) = i + (xi(0) - i)·e^(-ci·t²).
    for (int n = 1; n <= kLargestCount; ++n) {
        ModelBench model;
        for (int i = 1; i <= n; ++i) {
            const std::string c = std::to_string(i) + "*0.25";
            model.SetA(i, i, "-2*" + c + "*T");
            model.SetF(i, "2*" + c + "*T*" + std::to_string(i));
        }
        const RightHandSide planned = model.Planned(n);
        AmountVector yPlain = Amounts({}), yPlanned;
        for (int i = 1; i <= n; ++i) yPlain[i] = 3;
        yPlanned = yPlain;
        Integrate(model, planned, n, 0, 1.5, yPlain, yPlanned);
        for (int i = 1; i <= n; ++i) {
            const WorkingFloat expected = i + (3 - i) * std::exp(-WorkingFloat(i) / 4 * WorkingFloat(2.25));
            EXPECT_LT(RelativeError(yPlain[i], expected), kAccuracy) << "n " << n << " species " << i;
        }
    }
}

TEST_P(EveryBody, AmountsAndFreeTermsAtTheEdgesGiveThePlainBits)
{
    // Constant coefficients, where the planned bodies leave out operations whose result they
    // know (a remainder of +0 or not-a-number): signed zeros, infinities, a not-a-number with a
    // sign, and amounts that overflow at a trial point (A22 = 40) come out as the formulas give
    // them, codes too.
    using Limits = std::numeric_limits<WorkingFloat>;
    const WorkingFloat inf = Limits::infinity(), nan = Limits::quiet_NaN(), edge = Limits::max() / 40.01;
    for (bool freeTerm : {false, true}) {
        ModelBench model;
        model.SetA(1, 1, "-A1");
        model.SetA(2, 1, "A1");
        model.SetA(2, 2, "A2");
        if (freeTerm) model.SetF(2, "A3");
        const RightHandSide planned = model.Planned(2);
        const Integrator method = IntegratorNamed(GetParam());
        for (WorkingFloat rate : {WorkingFloat(-0.3), WorkingFloat(40)})
            for (WorkingFloat term : {WorkingFloat(0), -WorkingFloat(0), WorkingFloat(2), inf})
                for (const AmountVector& start :
                     {Amounts({1, 0}), Amounts({-WorkingFloat(0), 2}), Amounts({-nan, 1}), Amounts({0, edge})}) {
                    model.variables().AdjustableValues[1] = WorkingFloat(1.5);
                    model.variables().AdjustableValues[2] = rate;
                    model.variables().AdjustableValues[3] = term;
                    AmountVector yPlain = start, yPlanned = start;
                    int16_t errPlain = -1, errPlanned = -1;
                    method(model.rhs, 2, 0, 3, kTolerance, yPlain, yPlain, errPlain);
                    method(planned, 2, 0, 3, kTolerance, yPlanned, yPlanned, errPlanned);
                    EXPECT_EQ(errPlain, errPlanned);
                    for (int i = 1; i <= 2; ++i)
                        EXPECT_TRUE(SameBits(yPlain[i], yPlanned[i]))
                            << "species " << i << ", A2 " << rate << ", F2 " << term << ", from " << start[1] << " "
                            << start[2];
                }
    }
}

INSTANTIATE_TEST_SUITE_P(ByName, EveryBody, ::testing::ValuesIn(kMethodNames), [](const auto& info) {
    std::string name = info.param;
    for (char& c : name)
        if (c == ' ' || c == '-') c = '_';
    return name;
});

}  // namespace
}  // namespace tessuvan::testing
