// The flat layout of a compiled formula evaluates to the plain evaluator's value to the last
// bit, whatever the formula, and leaves the nested results where the plain evaluation does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "../integration/random_equations.h"
#include "formula/flat_formula.h"
#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

bool SameBits(WorkingFloat a, WorkingFloat b)
{
    constexpr size_t bytes = std::numeric_limits<WorkingFloat>::digits == 64 ? 10 : sizeof(WorkingFloat);
    return std::memcmp(&a, &b, bytes) == 0;
}

TEST(FlatFormula, EvaluatesRandomFormulasToThePlainValueBitForBit)
{
    FormulaBench bench;
    RandomFormulas draw(11, 3);
    int compared = 0;
    for (int k = 0; k < 400; ++k) {
        auto compiled = bench.Compile(draw.Any());
        ASSERT_EQ(compiled->errors, 0);
        auto flat = FlatFormula::Build(compiled->formula);
        ASSERT_NE(flat, nullptr);
        for (int trial = 0; trial < 5; ++trial) {
            FormulaVariables& v = bench.variables;
            for (int a = 1; a <= 4; ++a) v.AdjustableValues[a] = draw.Uniform(-3, 3);
            for (int p = 1; p <= 2; ++p) v.PParameters[p] = draw.Uniform(-3, 3);
            v.QParameters[1] = trial == 4 ? 0.0 : draw.Uniform(-3, 3);  // a zero divisor now and then
            for (int s = 1; s <= 4; ++s) v.SpeciesAmounts[s] = draw.Uniform(-3, 3);
            v.CurrentTime = draw.Uniform(0, 10);
            const WorkingFloat plain = EvaluateFormula(compiled->formula);
            const WorkingFloat fast = flat->Evaluate();
            EXPECT_TRUE(SameBits(plain, fast)) << Narrow(compiled->tokens) << ": " << double(plain) << " against " << double(fast);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 2000);
}

TEST(FlatFormula, KeepsTheGuardsOfDivisionLogarithmAndExponential)
{
    FormulaBench bench;
    bench.variables.AdjustableValues[1] = 0;
    bench.variables.AdjustableValues[2] = -5;
    for (const char* text : {"3/A1", "LN(A1)+LN(A2)", "EX(A1*1E-200)", "(A2+1)^3", "2^(A1-0.5)"}) {
        auto compiled = bench.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        auto flat = FlatFormula::Build(compiled->formula);
        const WorkingFloat plain = EvaluateFormula(compiled->formula);
        EXPECT_TRUE(SameBits(plain, flat->Evaluate())) << text;
    }
}

// A step routine the flat layout does not know is called as it is.
void AddSeven(const void*, StepAccumulator& acc) { acc.term = acc.term + 7; }

TEST(FlatFormula, CallsAnUnknownStepRoutineAsTheRecordHoldsIt)
{
    FormulaBench bench;
    bench.variables.AdjustableValues[1] = 2;
    auto compiled = bench.Compile("A1*3");
    compil& f = *compiled->formula;
    f.fonction[f.stop] = &AddSeven;
    f.donnee[f.stop] = nullptr;
    f.stop += 1;
    auto flat = FlatFormula::Build(&f);
    EXPECT_EQ(EvaluateFormula(&f), 13);
    EXPECT_EQ(flat->Evaluate(), 13);
}

}  // namespace
}  // namespace tessuvan::testing
