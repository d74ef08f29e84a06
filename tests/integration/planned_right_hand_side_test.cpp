// The planned right-hand side gives the plain evaluation's values to the last bit, leaves the
// formula variables as it found them, and notices every change of a cell its fixed entries read.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "../formula/formula_test_support.h"
#include "integration/right_hand_side.h"
#include "integration/right_hand_side_plan.h"
#include "random_equations.h"

namespace tessuvan::testing {
namespace {

// A model of n species with random entries, compiled against its own variables.
struct RandomModel {
    explicit RandomModel(uint32_t seed, int species) : n(species), draw(seed, species)
    {
        for (int i = 1; i <= n; ++i) {
            Install(equations.FM[i], draw.Entry());
            for (int j = 1; j <= n; ++j) Install(equations.AM[i][j], draw.Entry());
        }
        for (int k = 1; k <= 4; ++k) formulas.variables.AdjustableValues[k] = draw.Uniform(-1, 1);
        for (int k = 1; k <= 2; ++k) formulas.variables.PParameters[k] = draw.Uniform(-1, 1);
        formulas.variables.QParameters[1] = draw.Uniform(0.5, 2);
        for (int s = 1; s <= kMaxSpecies; ++s) formulas.variables.SpeciesAmounts[s] = draw.Uniform(-2, 2);
        formulas.variables.CurrentTime = draw.Uniform(0, 5);
    }
    ~RandomModel()
    {
        for (auto& row : equations.AM)
            for (compilptr& f : row) FreeFormula(f);
        for (compilptr& f : equations.FM) FreeFormula(f);
    }

    void Install(compilptr& slot, const std::string& text)
    {
        if (text.empty()) return;
        auto compiled = formulas.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        slot = compiled->formula;
        compiled->formula = nullptr;
    }

    AmountVector RandomAmounts()
    {
        AmountVector x{};
        for (int s = 1; s <= kMaxSpecies; ++s) x[s] = draw.Uniform(-2, 2);
        return x;
    }

    int n;
    RandomFormulas draw;
    FormulaBench formulas;
    PEquations equations;
};

bool SameVector(const AmountVector& a, const AmountVector& b, int n)
{
    for (int i = 1; i <= n; ++i)
        if (!SameBits(a[i], b[i])) return false;
    return true;
}

// The cells a formula can see (FunctionScratch, a scratch value, is not one of them).
bool SameVisibleCells(const FormulaVariables& a, const FormulaVariables& b)
{
    for (int s = 1; s <= kMaxSpecies; ++s)
        if (!SameBits(a.SpeciesAmounts[s], b.SpeciesAmounts[s])) return false;
    for (int k = 1; k <= kMaxAdjustables; ++k)
        if (!SameBits(a.AdjustableValues[k], b.AdjustableValues[k])) return false;
    return SameBits(a.CurrentTime, b.CurrentTime);
}

TEST(PlannedRightHandSide, AgreesBitForBitWithThePlainEvaluationOnRandomModels)
{
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        RandomModel model(seed, 1 + static_cast<int>(seed % 6));
        const int n = model.n;
        RightHandSide plain{model.equations, model.formulas.variables};
        auto plan = RightHandSidePlan::Build(model.equations, model.formulas.variables, n);
        ASSERT_NE(plan, nullptr);
        RightHandSide fast{model.equations, model.formulas.variables, plan.get()};
        for (int call = 0; call < 4; ++call) {
            const AmountVector x = model.RandomAmounts();
            const WorkingFloat t = model.draw.Uniform(0, 10);
            const FormulaVariables before = model.formulas.variables;
            AmountVector dxPlain{}, dxFast{}, FPlain{}, FFast{};
            ModelMatrix APlain{}, AFast{};
            ModelDerivative(plain, n, t, x, dxPlain);
            EvaluateFM(plain, n, t, x, FPlain);
            EvaluateAM(plain, n, t, x, APlain);
            ModelDerivative(fast, n, t, x, dxFast);
            EXPECT_TRUE(SameVisibleCells(before, model.formulas.variables)) << "seed " << seed;
            EvaluateFM(fast, n, t, x, FFast);
            EvaluateAM(fast, n, t, x, AFast);
            EXPECT_TRUE(SameVector(dxPlain, dxFast, n)) << "seed " << seed;
            EXPECT_TRUE(SameVector(FPlain, FFast, n)) << "seed " << seed;
            for (int i = 1; i <= n; ++i) EXPECT_TRUE(SameVector(APlain[i], AFast[i], n)) << "seed " << seed;
            EXPECT_TRUE(SameVisibleCells(before, model.formulas.variables)) << "seed " << seed;
            // Between calls the driver may install other values: the plan must follow.
            const int k = 1 + model.draw.Pick(4);
            model.formulas.variables.AdjustableValues[k] = model.draw.Uniform(-1, 1);
            model.formulas.variables.PParameters[1 + model.draw.Pick(2)] = model.draw.Uniform(-1, 1);
        }
    }
}

struct SmallModel {
    FormulaBench formulas;
    PEquations equations;
    void Install(compilptr& slot, const std::string& text)
    {
        auto compiled = formulas.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        FreeFormula(slot);
        slot = compiled->formula;
        compiled->formula = nullptr;
    }
    ~SmallModel()
    {
        for (auto& row : equations.AM)
            for (compilptr& f : row) FreeFormula(f);
        for (compilptr& f : equations.FM) FreeFormula(f);
    }
};

TEST(PlannedRightHandSide, SortsEntriesIntoFixedAndVaryingByTheCellsTheyRead)
{
    SmallModel model;
    model.Install(model.equations.AM[1][1], "-A1");
    model.Install(model.equations.AM[2][1], "A1*(P1+Q1)");
    model.Install(model.equations.AM[2][2], "-A2*EX(T*0.1)");
    model.Install(model.equations.FM[2], "-A3*F2/(A4+F2)");
    model.Install(model.equations.FM[1], "LN(2)");
    auto plan = RightHandSidePlan::Build(model.equations, model.formulas.variables, 2);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->FixedCount(), 3u);
    EXPECT_EQ(plan->VaryingCount(), 2u);
    EXPECT_TRUE(plan->Serves(2));
    EXPECT_FALSE(plan->Serves(3));
}

TEST(PlannedRightHandSide, ReevaluatesAFixedEntryWhenACellItReadsChangesEvenOnlyInTheSignOfZero)
{
    SmallModel model;
    model.Install(model.equations.AM[1][1], "-A1");
    model.Install(model.equations.FM[1], "A2^P1");
    FormulaVariables& v = model.formulas.variables;
    v.PParameters[1] = -1;
    v.AdjustableValues[1] = 2;
    v.AdjustableValues[2] = 4;
    auto plan = RightHandSidePlan::Build(model.equations, v, 1);
    RightHandSide fast{model.equations, v, plan.get()};
    AmountVector x{}, dx{};
    x[1] = 1;
    ModelDerivative(fast, 1, 0, x, dx);
    EXPECT_EQ(dx[1], -2 + 0.25);
    v.AdjustableValues[1] = 3;
    ModelDerivative(fast, 1, 0, x, dx);
    EXPECT_EQ(dx[1], -3 + 0.25);
    // 0^-1 is +infinity and (-0)^-1 is -infinity: == cannot tell the two zeros apart, the plan
    // must.
    v.AdjustableValues[2] = 0.0;
    ModelDerivative(fast, 1, 0, x, dx);
    EXPECT_EQ(dx[1], std::numeric_limits<WorkingFloat>::infinity());
    v.AdjustableValues[2] = -0.0;
    ModelDerivative(fast, 1, 0, x, dx);
    EXPECT_EQ(dx[1], -std::numeric_limits<WorkingFloat>::infinity());
}

TEST(PlannedRightHandSide, AVaryingFormulaSeesTheTrialAmountsEvenBeyondTheSpeciesInUse)
{
    SmallModel model;
    model.Install(model.equations.FM[1], "F3*T");
    FormulaVariables& v = model.formulas.variables;
    v.SpeciesAmounts[3] = 7;
    v.CurrentTime = 9;
    auto plan = RightHandSidePlan::Build(model.equations, v, 1);
    RightHandSide fast{model.equations, v, plan.get()};
    AmountVector x{}, dx{};
    x[3] = 5;
    ModelDerivative(fast, 1, 2, x, dx);
    EXPECT_EQ(dx[1], 10);
    EXPECT_EQ(v.SpeciesAmounts[3], 7);
    EXPECT_EQ(v.CurrentTime, 9);
}

}  // namespace
}  // namespace tessuvan::testing
