// Copies of compiled formulas bound to other cells: the same value from the same cell
// contents, read from the new cells only, and the cells a formula reads.
#include <gtest/gtest.h>

#include "formula/formula_copy.h"
#include "formula_test_support.h"
#include "integration/right_hand_side_plan.h"

namespace tessuvan::testing {
namespace {

void Fill(FormulaVariables& v, WorkingFloat base)
{
    for (int k = 1; k <= 4; ++k) {
        v.AdjustableValues[k] = base + k * WorkingFloat(0.25);
        v.PParameters[k] = base - k * WorkingFloat(0.5);
        v.QParameters[k] = base * k;
        v.SpeciesAmounts[k] = base + WorkingFloat(1) / k;
    }
    v.CurrentTime = base * 3;
}

// Every cell, the function scratch included, by its meaningful bits.
bool SameVariables(const FormulaVariables& a, const FormulaVariables& b)
{
    const auto same = [](const WorkingFloat* x, const WorkingFloat* y, int count) {
        for (int n = 0; n < count; ++n)
            if (!SameBits(x[n], y[n])) return false;
        return true;
    };
    return same(a.AdjustableValues, b.AdjustableValues, kMaxAdjustables + 1) &&
           same(a.PParameters, b.PParameters, kMaxPParameters + 1) &&
           same(a.QParameters, b.QParameters, kMaxQParameters + 1) &&
           same(a.SpeciesAmounts.data(), b.SpeciesAmounts.data(), kMaxSpecies + 1) &&
           SameBits(a.CurrentTime, b.CurrentTime) && SameBits(a.FunctionScratch, b.FunctionScratch);
}

// Parentheses, functions, powers and constants: every kind of operand a record can read.
const char* const kFormulas[] = {
    "A1*(F2+P1)/Q2-T",
    "EX(-A2*T)*(F1+2.5)/LN(A3)",
    "(A1+(F1*(P2-(Q1+T))))^2",
    "-LN(1+F3^2)*EX(P1/(A4+T))+F4^A1",
    "3.5",
};

TEST(FormulaCopy, ACopyReadsItsOwnCellsAndGivesTheSameValueToTheLastBit)
{
    for (const char* text : kFormulas) {
        FormulaBench bench;
        auto compiled = bench.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        FormulaVariables other;
        compilptr copy = CopyFormulaFor(compiled->formula, bench.variables, other);
        ASSERT_NE(copy, nullptr) << text;

        // Same contents: same bits.
        Fill(bench.variables, WorkingFloat(1.75));
        Fill(other, WorkingFloat(1.75));
        const WorkingFloat original = EvaluateFormula(compiled->formula);
        const WorkingFloat copied = EvaluateFormula(copy);
        EXPECT_TRUE(SameBits(original, copied)) << text;

        // Other contents in the copy's cells only: the original's value and cells stay as they
        // were (its function scratch included), the copy follows its own cells.
        Fill(other, WorkingFloat(2.5));
        const FormulaVariables before = bench.variables;
        const WorkingFloat again = EvaluateFormula(copy);
        EXPECT_TRUE(SameVariables(before, bench.variables)) << text;
        const WorkingFloat reference = EvaluateFormula(compiled->formula);
        EXPECT_TRUE(SameBits(reference, original)) << text;
        Fill(bench.variables, WorkingFloat(2.5));
        const WorkingFloat moved = EvaluateFormula(compiled->formula);
        EXPECT_TRUE(SameBits(again, moved)) << text;
        FreeFormula(copy);
    }
    FormulaVariables from, to;
    EXPECT_EQ(CopyFormulaFor(nullptr, from, to), nullptr);
}

TEST(FormulaCopy, ReadsAnyCellSeesOperandsInNestedRecords)
{
    FormulaBench bench;
    auto compiled = bench.Compile("A1*(2+LN(F3+P2))");
    ASSERT_EQ(compiled->errors, 0);
    const FormulaVariables& v = bench.variables;
    EXPECT_TRUE(ReadsAnyCell(compiled->formula, &v.SpeciesAmounts[3], 1));
    EXPECT_TRUE(ReadsAnyCell(compiled->formula, &v.SpeciesAmounts[1], 3));
    EXPECT_FALSE(ReadsAnyCell(compiled->formula, &v.SpeciesAmounts[1], 2));
    EXPECT_FALSE(ReadsAnyCell(compiled->formula, &v.SpeciesAmounts[4], 17));
    EXPECT_TRUE(ReadsAnyCell(compiled->formula, &v.PParameters[2], 1));
    EXPECT_TRUE(ReadsAnyCell(compiled->formula, &v.AdjustableValues[1], 1));
    EXPECT_FALSE(ReadsAnyCell(compiled->formula, &v.AdjustableValues[2], 5));
    EXPECT_FALSE(ReadsAnyCell(compiled->formula, &v.CurrentTime, 1));
    EXPECT_FALSE(ReadsAnyCell(nullptr, &v.CurrentTime, 1));
}

}  // namespace
}  // namespace tessuvan::testing
