// The simplifier's final check, which keeps the original text whenever a rewrite would change
// the value, need more steps or stop compiling.
#include <gtest/gtest.h>

#include "formula/simplifier_internal.h"
#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

using simplification::KeepsMeaning;

class FinalCheck : public ::testing::Test {
protected:
    TokenText C(WorkingFloat v) { return InternConstant(v, table); }
    ConstantTable table;
};

TEST_F(FinalCheck, AcceptsAnEquivalentShorterText)
{
    EXPECT_TRUE(KeepsMeaning(u"+Pa*(Pb*Pc)", u"+Pa*Pb*Pc", table));
    EXPECT_TRUE(KeepsMeaning(u"+" + C(2) + u"*Pa*" + C(3), u"+" + C(6) + u"*Pa", table));
}

TEST_F(FinalCheck, RejectsAChangedValue)
{
    EXPECT_FALSE(KeepsMeaning(u"+Pa-Pb", u"+Pa+Pb", table));
    EXPECT_FALSE(KeepsMeaning(u"+Pa^(Pb^Pc)", u"+Pa^Pb^Pc", table));
    EXPECT_FALSE(KeepsMeaning(u"+Pa/(Pb*Pc^" + C(2) + u")", u"+Pa/Pb/Pc^(-" + C(2) + u")", table));
}

TEST_F(FinalCheck, RejectsMoreSteps)
{
    EXPECT_FALSE(KeepsMeaning(u"+Pa*Pa", u"+Pa^" + C(2), table));
}

TEST_F(FinalCheck, RejectsATextThatNoLongerCompiles)
{
    EXPECT_FALSE(KeepsMeaning(u"+Pa*Pb", u"+Pa*-Pb", table));
    EXPECT_FALSE(KeepsMeaning(u"+Pa", u"+Pa^EX(Pb)", table));
}

TEST_F(FinalCheck, AcceptsACompilingTextForOneThatDidNot)
{
    EXPECT_TRUE(KeepsMeaning(u"+Pa*-Pb", u"-Pa*Pb", table));
}

TEST_F(FinalCheck, KeepsAFormulaDefinedNowhereAsWritten)
{
    // Every evaluation divides by the constant 0; the replacement decides, not the algebra.
    const TokenText zero = C(0);
    const TokenText two = C(2);
    EXPECT_FALSE(
        KeepsMeaning(u"+" + two + u"*(Pa/" + zero + u")", u"+" + two + u"*Pa/" + zero, table));
}

}  // namespace
}  // namespace tessuvan::testing
