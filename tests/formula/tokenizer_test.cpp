#include <string>

#include <gtest/gtest.h>

#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

class Tokenizing : public ::testing::Test {
protected:
    std::string Tokens(const std::string& text, int16_t* errorsOut = nullptr)
    {
        TokenText tokens = U16(text);
        int16_t errors = -1;
        TokenizeFormula(tokens, errors, table);
        if (errorsOut != nullptr) *errorsOut = errors;
        else EXPECT_EQ(errors, 0) << text;
        return Narrow(tokens);
    }
    int16_t Errors(const std::string& text)
    {
        int16_t errors = 0;
        Tokens(text, &errors);
        return errors;
    }
    ConstantTable table;
};

TEST_F(Tokenizing, VariablesBecomeTwoCharacterTokens)
{
    EXPECT_EQ(Tokens(" P1 * F2 "), "+Pa*Fb");
    EXPECT_EQ(Tokens("-F3"), "-Fc");
    EXPECT_EQ(Tokens("F3"), "+Fc");
    EXPECT_EQ(Tokens("P12"), "+Pl");
    EXPECT_EQ(Tokens("T"), "+Ta");
    EXPECT_EQ(Tokens("((P1))"), "+(+(Pa))");
    EXPECT_EQ(Tokens("EX(-A2*T)+ln(Q30)"), "+EX(-Ab*Ta)+ln(Q~)");
}

TEST_F(Tokenizing, LiteralsAreInternedOnceEach)
{
    EXPECT_EQ(Tokens("2*T"), "+Ca*Ta");
    EXPECT_EQ(table.entry[1], 2);
    EXPECT_EQ(Tokens("1.5E-3+P1"), "+Cb+Pa");
    EXPECT_EQ(table.entry[2], WorkingFloat(1.5E-3L));
    EXPECT_EQ(Tokens("P2*1.5E-3"), "+Pb*Cb");  // same literal, same token
    EXPECT_EQ(table.ConstantCount, 3);
    EXPECT_EQ(table.entry[3], 0);  // the entry past the last is kept at 0
}

TEST_F(Tokenizing, AMinusBeforeALiteralBelongsToIt)
{
    EXPECT_EQ(Tokens("P1-2.5"), "+Pa+Ca");
    EXPECT_EQ(table.entry[1], -2.5);
    EXPECT_EQ(Tokens("-2^P1"), "+Cb^Pa");
    EXPECT_EQ(table.entry[2], -2);
    EXPECT_EQ(Tokens("2^-3"), "+Cc^+Cd");
}

TEST_F(Tokenizing, MalformedLiteralsAndIndicesAreCounted)
{
    EXPECT_EQ(Errors("1.2.3"), 4);  // the position of the second point
    EXPECT_GT(Errors("Px"), 0);
    EXPECT_GT(Errors("1E5000"), 0);  // not a finite number of either build
#if defined(TESSUVAN_BUILD_64)
    EXPECT_GT(Errors("1E400"), 0);   // beyond the double range
#endif
    EXPECT_EQ(Errors("1E-400"), 0); // underflows to a finite number
    EXPECT_GT(Errors("2E"), 0);
}

TEST_F(Tokenizing, IndicesOutsideTheirArraysAreErrors)
{
    EXPECT_GT(Errors("A0"), 0);
    EXPECT_GT(Errors("A" + std::to_string(MaxAdjustables + 1)), 0);
    EXPECT_EQ(Errors("A" + std::to_string(MaxAdjustables)), 0);
    EXPECT_GT(Errors("P31"), 0);
    EXPECT_GT(Errors("Q31"), 0);
    EXPECT_GT(Errors("F21"), 0);
    EXPECT_EQ(Errors("F20+Q30+P30"), 0);
    EXPECT_GT(Errors("C0"), 0);
}

TEST_F(Tokenizing, TextsThatAreNotFormulasAreErrors)
{
    for (const char* text : {"P1)", "(P1", "P1;", "P1P1", "P1EX(P2)", "()", "P1*()", "+", "P1*-",
                             "EXP(P1)", "LN P1", "2P1", "T2", "P1**", "#"}) {
        EXPECT_GT(Errors(text), 0) << text;
    }
    int16_t errors = 0;
    TokenText empty;
    TokenizeFormula(empty, errors, table);
    EXPECT_GT(errors, 0);
}

TEST_F(Tokenizing, ATrailingOperatorIsTolerated)
{
    EXPECT_EQ(Errors("P1*"), 0);
    EXPECT_EQ(Errors("(P1+)*P2"), 0);
}

TEST_F(Tokenizing, TheErrorCountSaturatesInsteadOfWrapping)
{
    // 64 literals whose error position is 1024 add up to 65536, which wraps a 16-bit count to 0.
    const std::string badLiteral = std::string(1022, '1') + "..";
    std::string text = badLiteral;
    for (int i = 1; i < 64; ++i) text += "+" + badLiteral;
    EXPECT_EQ(Errors(text), 32767);
}

TEST_F(Tokenizing, TheConstantTableHoldsAtMost158Constants)
{
    for (int i = 1; i <= kConstantCapacity; ++i) EXPECT_EQ(Errors(std::to_string(i) + "*P1"), 0) << i;
    EXPECT_GT(Errors("1000*P1"), 0);
    EXPECT_EQ(Errors("158*P1"), 0);  // a constant already held still has its token
    table.Clear();
    EXPECT_EQ(Errors("1000*P1"), 0);
}

TEST(Constants, InternAndReadBack)
{
    ConstantTable table;
    const TokenText token = InternConstant(WorkingFloat(0.25), table);
    EXPECT_EQ(Narrow(token), "Ca");
    EXPECT_EQ(ConstantOf(token, table), WorkingFloat(0.25));
    EXPECT_EQ(Narrow(InternConstant(WorkingFloat(0.25), table)), "Ca");
    const WorkingFloat nan = std::numeric_limits<WorkingFloat>::quiet_NaN();
    EXPECT_EQ(Narrow(InternConstant(nan, table)), "Cb");
    EXPECT_EQ(Narrow(InternConstant(nan, table)), "Cc");  // a NaN never equals anything
}

TEST(Spaces, AreAllRemoved)
{
    TokenText text = U16("  P 1 +  F2 ");
    RemoveSpaces(text);
    EXPECT_EQ(Narrow(text), "P1+F2");
}

}  // namespace
}  // namespace tessuvan::testing
