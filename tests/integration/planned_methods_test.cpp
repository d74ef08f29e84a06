// The planned methods and the plain ones, run side by side on random models over chains of
// intervals with parameter changes between them, end with the same amounts and codes to the
// last bit, whatever the method and whether the right-hand side is linear or not.
#include <gtest/gtest.h>

#include <string>

#include "../formula/formula_test_support.h"
#include "integration/methods.h"
#include "integration/planned_methods.h"
#include "integration/right_hand_side_plan.h"
#include "random_equations.h"

namespace tessuvan::testing {
namespace {

struct RandomSystem {
    RandomSystem(uint32_t seed, int species, bool linear) : n(species), draw(seed, species)
    {
        for (int i = 1; i <= n; ++i) {
            // A loss on the diagonal keeps most runs finite; the rest is random.
            Install(equations.AM[i][i], "-A" + std::to_string(1 + draw.Pick(4)) + "^2-0.1");
            if (draw.Pick(3) != 0) Install(equations.FM[i], Scaled(linear ? draw.Fixed() : draw.Any()));
            for (int j = 1; j <= n; ++j)
                if (j != i && draw.Pick(2) == 0)
                    Install(equations.AM[i][j], Scaled(linear ? draw.Fixed() : draw.Any()));
        }
        Randomize();
    }
    ~RandomSystem()
    {
        for (auto& row : equations.AM)
            for (compilptr& f : row) FreeFormula(f);
        for (compilptr& f : equations.FM) FreeFormula(f);
    }
    void Install(compilptr& slot, const std::string& text)
    {
        auto compiled = formulas.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        FreeFormula(slot);
        slot = compiled->formula;
        compiled->formula = nullptr;
    }
    // Random terms made small and not negative beside the diagonal loss: the amounts stay
    // positive and finite, as the adaptive methods need to finish in a reasonable number of
    // steps (an amount crossing zero makes the relative error of the exponential method huge).
    static std::string Scaled(const std::string& text) { return "0.001*LN(1+(" + text + ")^2)"; }
    // New parameter values, as a driver installs them between intervals.
    void Randomize()
    {
        for (int k = 1; k <= 4; ++k) formulas.variables.AdjustableValues[k] = draw.Uniform(-1.5, 1.5);
        for (int k = 1; k <= 2; ++k) formulas.variables.PParameters[k] = draw.Uniform(-1, 1);
        formulas.variables.QParameters[1] = draw.Uniform(0.5, 2);
    }

    int n;
    RandomFormulas draw;
    FormulaBench formulas;
    PEquations equations;
};

bool SameAmounts(const AmountVector& a, const AmountVector& b)
{
    for (int i = 1; i <= kMaxSpecies; ++i)
        if (!SameBits(a[i], b[i])) return false;
    return true;
}

// Runs plain and fast over the same chain of intervals and compares after each one.
void ExpectSameChains(Integrator plainMethod, Integrator fastMethod, bool linear, uint32_t seeds)
{
    for (uint32_t seed = 1; seed <= seeds; ++seed) {
        RandomSystem system(seed, 1 + static_cast<int>(seed % 5), linear);
        const int n = system.n;
        auto plan = RightHandSidePlan::Build(system.equations, system.formulas.variables, n);
        ASSERT_NE(plan, nullptr);
        RightHandSide plain{system.equations, system.formulas.variables};
        RightHandSide fast{system.equations, system.formulas.variables, plan.get()};
        AmountVector yPlain{}, yFast{};
        for (int s = 1; s <= kMaxSpecies; ++s) yPlain[s] = yFast[s] = system.draw.Uniform(0, 3);
        const WorkingFloat tol = seed % 3 == 0 ? 1e-3 : 1e-2;
        WorkingFloat t = 0;
        for (int interval = 0; interval < 4; ++interval) {
            const WorkingFloat length = interval == 2 ? 0 : system.draw.Uniform(0.05, 1.5);  // one empty interval
            int16_t errPlain = -7, errFast = -7;
            system.formulas.variables.CurrentTime = t;
            plainMethod(plain, n, t, t + length, tol, yPlain, yPlain, errPlain);
            fastMethod(fast, n, t, t + length, tol, yFast, yFast, errFast);
            ASSERT_EQ(errPlain, errFast) << "seed " << seed << " interval " << interval;
            ASSERT_TRUE(SameAmounts(yPlain, yFast)) << "seed " << seed << " interval " << interval;
            t = t + length;
            if (interval == 1) system.Randomize();
        }
    }
}

TEST(PlannedMethods, RungeKutta4EndsWithThePlainAmountsOnLinearModels)
{
    ExpectSameChains(&IntegrateRungeKutta4, &IntegrateRungeKutta4Planned, true, 60);
}

TEST(PlannedMethods, RungeKutta4EndsWithThePlainAmountsOnNonLinearModels)
{
    ExpectSameChains(&IntegrateRungeKutta4, &IntegrateRungeKutta4Planned, false, 60);
}

TEST(PlannedMethods, ChuBermanEndsWithThePlainAmountsAndCodesOnLinearModels)
{
    ExpectSameChains(&IntegrateChuBerman, &IntegrateChuBermanPlanned, true, 60);
}

TEST(PlannedMethods, ChuBermanEndsWithThePlainAmountsAndCodesOnNonLinearModels)
{
    ExpectSameChains(&IntegrateChuBerman, &IntegrateChuBermanPlanned, false, 60);
}

// The other two methods keep their plain loops and reach the plan through the right-hand side.
TEST(PlannedMethods, TheOtherMethodsThroughAPlannedRightHandSideEndWithThePlainAmounts)
{
    ExpectSameChains(&IntegrateRungeKutta5, &IntegrateRungeKutta5, false, 40);
    ExpectSameChains(&IntegrateRungeKuttaQC, &IntegrateRungeKuttaQC, false, 40);
}

TEST(PlannedMethods, APlanForAnotherSpeciesCountLeavesThePlainRoutineInCharge)
{
    RandomSystem system(5, 3, false);
    auto plan = RightHandSidePlan::Build(system.equations, system.formulas.variables, 2);
    RightHandSide plain{system.equations, system.formulas.variables};
    RightHandSide fast{system.equations, system.formulas.variables, plan.get()};
    AmountVector a{}, b{};
    a[1] = b[1] = 1;
    int16_t errPlain = 0, errFast = 0;
    IntegrateChuBerman(plain, 3, 0, 1, 1e-3, a, a, errPlain);
    IntegrateChuBermanPlanned(fast, 3, 0, 1, 1e-3, b, b, errFast);
    EXPECT_EQ(errPlain, errFast);
    EXPECT_TRUE(SameAmounts(a, b));
}

TEST(PlannedMethods, OnlyRungeKutta4AndChuBermanHaveAPlannedCounterpart)
{
    EXPECT_EQ(FastCounterpart(&IntegrateRungeKutta4), &IntegrateRungeKutta4Planned);
    EXPECT_EQ(FastCounterpart(&IntegrateChuBerman), &IntegrateChuBermanPlanned);
    EXPECT_EQ(FastCounterpart(&IntegrateRungeKutta5), &IntegrateRungeKutta5);
    EXPECT_EQ(FastCounterpart(&IntegrateRungeKuttaQC), &IntegrateRungeKuttaQC);
}

}  // namespace
}  // namespace tessuvan::testing
