#include <string>

#include <gtest/gtest.h>

#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

class Compiling : public ::testing::Test {
protected:
    std::unique_ptr<FormulaBench::Compiled> Tokens(const std::string& tokens)
    {
        return bench.CompileTokens(U16(tokens));
    }
    FormulaBench bench;
};

TEST_F(Compiling, ANegatedProductIsTwoSteps)
{
    auto c = Tokens("-Fb*Ta");
    ASSERT_EQ(c->errors, 0);
    ASSERT_EQ(c->formula->stop, 2);
    EXPECT_EQ(c->formula->fonction[0], &StepNegate);
    EXPECT_EQ(c->formula->donnee[0], &bench.variables.SpeciesAmounts[2]);
    EXPECT_EQ(c->formula->fonction[1], &StepMultiply);
    EXPECT_EQ(c->formula->donnee[1], &bench.variables.CurrentTime);
}

TEST_F(Compiling, AGroupBecomesANestedRecord)
{
    auto c = Tokens("+(Pa+Pb)*Pc");
    ASSERT_EQ(c->errors, 0);
    ASSERT_EQ(c->formula->stop, 3);
    EXPECT_EQ(c->formula->fonction[0], &StepSubFormula);
    const compil* nested = static_cast<const compil*>(c->formula->donnee[0]);
    EXPECT_EQ(nested->stop, 2);
    EXPECT_EQ(c->formula->fonction[1], &StepSet);
    EXPECT_EQ(c->formula->donnee[1], &nested->result);
    EXPECT_EQ(c->formula->fonction[2], &StepMultiply);
    EXPECT_EQ(c->formula->donnee[2], &bench.variables.PParameters[3]);
}

TEST_F(Compiling, FunctionNamesIgnoreCase)
{
    for (const char* text : {"+EX(Pa)", "+ex(Pa)", "+eX(Pa)"}) {
        auto c = Tokens(text);
        ASSERT_EQ(c->errors, 0) << text;
        ASSERT_EQ(c->formula->stop, 3);
        EXPECT_EQ(c->formula->fonction[0], &StepSubFormula);
        EXPECT_EQ(c->formula->fonction[1], &StepExp);
        EXPECT_EQ(c->formula->fonction[2], &StepSet);
        EXPECT_EQ(c->formula->donnee[2], &bench.variables.FunctionScratch);
    }
    EXPECT_GT(Tokens("+EXP(Pa)")->errors, 0);
}

TEST_F(Compiling, ATrailingOperatorIsIgnored)
{
    auto c = Tokens("+Pa*");
    ASSERT_EQ(c->errors, 0);
    EXPECT_EQ(c->formula->stop, 1);
}

TEST_F(Compiling, MalformedTokenTextIsCountedNeverFollowed)
{
    for (const char* text : {"", "+Pa*-Pb", "+(Pa", "+Pa)", "+()", "+Pa^EX(Pb)", "+P\x7f", "+P`",
                             "+F\x75", "+Pa?", "+PaPb", "+Pa*E", "+Pa*LN"}) {
        auto c = Tokens(text);
        EXPECT_GT(c->errors, 0) << text;
        EXPECT_FALSE(FormulaPresent(c->formula)) << text;
    }
}

TEST_F(Compiling, AParenthesisedFunctionExponentWorks)
{
    bench.variables.PParameters[1] = 2;
    bench.variables.PParameters[2] = 0;
    auto c = Tokens("+Pa^(EX(Pb))");
    ASSERT_EQ(c->errors, 0);
    EXPECT_EQ(EvaluateFormula(c->formula), 2);
}

TEST_F(Compiling, ARecordHoldsAtMost256Steps)
{
    std::string fits = "+Pa";
    for (int i = 1; i < kMaxSteps; ++i) fits += "+Pa";
    EXPECT_EQ(Tokens(fits)->errors, 0);
    EXPECT_GT(Tokens(fits + "+Pa")->errors, 0);
    // a power inside the last steps pushes past the limit as well
    EXPECT_GT(Tokens(fits + "^Pb")->errors, 0);
}

TEST_F(Compiling, DeepNestingIsAnErrorNotACrash)
{
    std::string text = "+";
    for (int i = 0; i < 5000; ++i) text += "(+";
    text += "Pa";
    for (int i = 0; i < 5000; ++i) text += ")";
    EXPECT_GT(Tokens(text)->errors, 0);
}

TEST_F(Compiling, DefinitionsInACycleAreAnError)
{
    bench.definitions.texts[1] = U16("+Ab*Cb");
    bench.definitions.texts[2] = U16("+Aa");
    auto c = Tokens("+Aa");
    EXPECT_GT(c->errors, 0);
    EXPECT_FALSE(FormulaPresent(c->formula));
}

TEST_F(Compiling, ADefinitionReadingItsOwnParameterIsDropped)
{
    bench.definitions.texts[1] = U16("+Aa*Pa");
    auto c = Tokens("+Aa");
    EXPECT_EQ(c->errors, 1);
    EXPECT_EQ(bench.definitions.Definition(1), nullptr);
    EXPECT_EQ(c->formula->donnee[0], &bench.variables.AdjustableValues[1]);
}

TEST(Parentheses, MatchReportsMissingPartners)
{
    int status = -1;
    const TokenText text = U16("+(Pa*(Pb))+(");
    EXPECT_EQ(MatchParen(text, 2, status), 10);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(MatchParen(text, 12, status), 13);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(MatchParen(text, 1, status), 1);
    EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace tessuvan::testing
