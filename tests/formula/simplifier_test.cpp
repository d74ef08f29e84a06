// The simplifier on hand-written token texts: what it shortens, and the rewrites it must not
// make because they would change a formula's value.
#include <cmath>

#include <gtest/gtest.h>

#include "formula/simplifier.h"
#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

class Simplification : public ::testing::Test {
protected:
    // The C token of v in this test's table.
    TokenText C(WorkingFloat v) { return InternConstant(v, table); }

    TokenText Simplified(TokenText text)
    {
        SimplifyFormula(text, table);
        return text;
    }

    // Tokenizes host text (no error expected) into this test's table.
    TokenText Tokens(const std::string& host)
    {
        TokenText text = U16(host);
        int16_t errors = 0;
        TokenizeFormula(text, errors, table);
        EXPECT_EQ(errors, 0) << host;
        return text;
    }

    // Value of token text with the variables set by Set(), and its compiled steps.
    WorkingFloat Value(const TokenText& text, int* steps = nullptr)
    {
        int16_t errors = 0;
        compilptr f = NewFormula();
        FormulaEnvironment env{variables, table, nullptr};
        CompileFormula(text, &f, errors, env);
        EXPECT_EQ(errors, 0) << Narrow(text);
        WorkingFloat value = errors == 0 ? EvaluateFormula(f) : WorkingFloat(-12345);
        if (steps != nullptr) *steps = errors == 0 ? CountAllSteps(f) : 1 << 20;
        FreeFormula(f);
        return value;
    }

    static int CountAllSteps(const compil* f)
    {
        int steps = f->stop;
        for (int i = 0; i < f->stop; ++i)
            if (f->fonction[i] == &StepSubFormula)
                steps += CountAllSteps(static_cast<const compil*>(f->donnee[i]));
        return steps;
    }

    void Set(WorkingFloat p1, WorkingFloat p2, WorkingFloat p3, WorkingFloat p4 = 1.75)
    {
        variables.PParameters[1] = p1;
        variables.PParameters[2] = p2;
        variables.PParameters[3] = p3;
        variables.PParameters[4] = p4;
    }

    // Every cell of the variables gets a distinct value of the setting.
    void SetAll(int setting)
    {
        WorkingFloat v = WorkingFloat(0.5) + WorkingFloat(0.375) * setting;
        auto next = [&v, setting]() {
            v = v * WorkingFloat(1.0625) + WorkingFloat(0.03125);
            if (v > 3) v -= 2.5;
            return setting == 1 ? -v : v;
        };
        for (auto& x : variables.AdjustableValues) x = next();
        for (auto& x : variables.PParameters) x = next();
        for (auto& x : variables.QParameters) x = next();
        for (auto& x : variables.SpeciesAmounts) x = next();
        variables.CurrentTime = next();
    }

    // Simplifies the host text and checks that the value (that of reference, written so that
    // the compiler reads it unsimplified) and the steps hold at a few settings.
    void ExpectSameMeaning(const std::string& host, const std::string& reference = "")
    {
        const TokenText original = Tokens(host);
        const TokenText compiledAsIs = reference.empty() ? original : Tokens(reference);
        const TokenText simplified = Simplified(original);
        for (int setting = 0; setting < 3; ++setting) {
            SetAll(setting);
            int before = 0, after = 0;
            const WorkingFloat expected = Value(compiledAsIs, &before);
            const WorkingFloat actual = Value(simplified, &after);
            if (std::isnan(expected) && std::isnan(actual)) continue;
            EXPECT_NEAR(static_cast<double>(actual), static_cast<double>(expected),
                        1e-12 * (1 + std::fabs(static_cast<double>(expected))))
                << host << " became " << Narrow(simplified) << " (setting " << setting << ")";
            if (reference.empty()) {
                EXPECT_LE(after, before) << host << " became " << Narrow(simplified);
            }
        }
    }

    ConstantTable table;
    FormulaVariables variables;
};

TEST_F(Simplification, ConstantTermsAndFactorsAreFolded)
{
    EXPECT_EQ(Simplified(u"+" + C(2) + u"+" + C(3)), u"+" + C(5));
    EXPECT_EQ(Simplified(u"+" + C(2) + u"*" + C(3) + u"*Pa"), u"+" + C(6) + u"*Pa");
    EXPECT_EQ(Simplified(u"+" + C(6) + u"/" + C(3) + u"*Pa"), u"+" + C(2) + u"*Pa");
    const TokenText lastFactor = u"+" + C(2) + u"*" + C(3);
    EXPECT_EQ(Simplified(lastFactor), lastFactor);
}

TEST_F(Simplification, FactorsAndExponentsOfOneAreDropped)
{
    EXPECT_EQ(Simplified(u"+Pa*" + C(1)), u"+Pa");
    EXPECT_EQ(Simplified(u"+" + C(1) + u"*Pa"), u"+Pa");
    EXPECT_EQ(Simplified(u"+Pa^" + C(1)), u"+Pa");
}

TEST_F(Simplification, RepeatedFactorsMergeOnlyWhenThatSavesSteps)
{
    EXPECT_EQ(Simplified(u"+Pa*Pb/Pa"), u"+Pb");
    EXPECT_EQ(Simplified(u"+Pa*Pa*Pa"), u"+Pa^" + C(3));
    // Pa^C2 would need a load, a power and the operator: one step more than Pa*Pa.
    EXPECT_EQ(Simplified(u"+Pa*Pa"), u"+Pa*Pa");
}

TEST_F(Simplification, NeedlessParenthesesAreRemoved)
{
    EXPECT_EQ(Simplified(u"+(Pa)"), u"+Pa");
    EXPECT_EQ(Simplified(u"+Pb*(Pc*Pd)+Pe"), u"+Pb*Pc*Pd+Pe");
    EXPECT_EQ(Simplified(u"+Pb/(Pc*Pd)+Pe"), u"+Pb/Pc/Pd+Pe");
    EXPECT_EQ(Simplified(u"+EX(+(Pa))"), u"+EX(Pa)");
    EXPECT_EQ(Simplified(u"+LN(Pa*" + C(1) + u")"), u"+LN(Pa)");
}

TEST_F(Simplification, SumsThatAreWholeTermsLoseTheirParentheses)
{
    EXPECT_EQ(Simplified(u"+Pa-(Pb-Pc)+Pd"), u"+Pa-Pb+Pc+Pd");
    EXPECT_EQ(Simplified(u"+Pa+(-Pb+Pc)"), u"+Pa-Pb+Pc");
    EXPECT_EQ(Simplified(u"+(+(Pa-Pb)+Pc)*Pd"), u"+(Pa-Pb+Pc)*Pd");
    // A sum that is a factor, a base or a divisor keeps them.
    for (const char16_t* kept : {u"+Pa*(Pb-Pc)", u"+(Pb-Pc)^Pa", u"+Pa/(Pb+Pc)", u"+Pa-(Pb+Pc)*Pd"})
        EXPECT_EQ(Simplified(kept), TokenText(kept));
}

TEST_F(Simplification, SignRunsAreSettled)
{
    EXPECT_EQ(Simplified(u"+Pa*-Pb"), u"-Pa*Pb");
    EXPECT_EQ(Simplified(u"--Pa"), u"+Pa");
    EXPECT_EQ(Simplified(u"+Pa/-Pb"), u"-Pa/Pb");
    EXPECT_EQ(Simplified(u"+Pa^-Pb"), u"+Pa^(-Pb)");
    EXPECT_EQ(Simplified(u"+Pa^-EX(Pb)"), u"+Pa^(-EX(Pb))");
    EXPECT_EQ(Simplified(u"+EX(Ta*-Ab)"), u"+EX(-Ta*Ab)");
    // Here one iteration wraps and deletes as many units as it adds: the text keeps its length
    // and still holds a sign run, so iterations must go on until the text itself is stable.
    const TokenText settled = Simplified(Tokens(
        "F5/F5*-(EX(T/8)*F5+LN(-P24-EX(T/8)^2^2*T^-P24^-F5)^-F5^0.5*-LN(F5)*P24^1^2-"
        "(F5-(-T^-F5^-T*0.25^-F5^-P24)^T)*-T*-P24*P24^2+F5)"));
    Value(settled);  // compiles
}

TEST_F(Simplification, AnEmptyResultIsTheConstantZero)
{
    EXPECT_EQ(Simplified(u"+"), u"+" + C(0));
    EXPECT_EQ(Simplified(u""), u"+" + C(0));
}

TEST_F(Simplification, IndexLettersAreNeverTakenForFunctions)
{
    // Indices 5, 12, 14 and 24 are the units e, l, n and x.
    EXPECT_EQ(Simplified(u"+Pe*(Pl*Pn)+Px"), u"+Pe*Pl*Pn+Px");
    EXPECT_EQ(Simplified(u"+Ce*" + C(1) + u"*Pl"), u"+Ce*Pl");
    ExpectSameMeaning("P5*(P12/Q14)-EX(F5*P12)+LN(P24)*2*3*A12");
}

// Each of these is a rewrite the passes could be tempted into that changes the value.
TEST_F(Simplification, ValueChangingRewritesAreNotMade)
{
    ExpectSameMeaning("EX(T*-A2)", "EX(T*(-A2))");
    ExpectSameMeaning("P1/(P2*P3^2)");
    ExpectSameMeaning("-(2)+3+P1");
    ExpectSameMeaning("P1^2^3*P1");
    ExpectSameMeaning("P2*P1/P1+P3");
    ExpectSameMeaning("1^P1-P2");
    ExpectSameMeaning("P1^(P2^P3)");
    ExpectSameMeaning("P1/(P2*(P3/P4))");
    ExpectSameMeaning("2-(3+P1)");
    ExpectSameMeaning("P1/2*3");
    ExpectSameMeaning("P1*P2/P1^2");
    ExpectSameMeaning("P1/P1");
    ExpectSameMeaning("P1*P2/P2/P3+P4");
    ExpectSameMeaning("P1/1*P2");
    ExpectSameMeaning("P1/1^P2*P3");
    ExpectSameMeaning("P1*(P2+P3)^1*P4");
    ExpectSameMeaning("P1^(P2)*P1^(P3+P4)");
    ExpectSameMeaning("P1^(EX(P2))*P1");
    ExpectSameMeaning("P1^(LN(P2+1))*P1^2");
    ExpectSameMeaning("0*P1+P2-0");
    ExpectSameMeaning("P1^0*P2+P3*0");
    ExpectSameMeaning("P1^(0)+(P2)^(P3)^(P4)");
}

TEST_F(Simplification, ADivisionByAConstantZeroKeepsItsReplacement)
{
    ExpectSameMeaning("P1*2/0*3+P2");
    ExpectSameMeaning("0/0+P1");
    ExpectSameMeaning("P1/0*-P2", "P1/0*(-P2)");
}

TEST_F(Simplification, ASignAfterAGuardedDivisionStaysWithItsFactor)
{
    // With P2 = 0 the division gives the positive replacement before the sign applies.
    const TokenText simplified = Simplified(Tokens("P1/P2*-P3"));
    Set(1, 0, 2);
    EXPECT_LT(Value(simplified), 0) << Narrow(simplified);
}

TEST_F(Simplification, FoldedConstantsTakeOnePlaceInTheTable)
{
    const TokenText text = u"+" + C(2) + u"*" + C(3) + u"*" + C(5) + u"*Pa";
    const int before = table.ConstantCount;
    EXPECT_EQ(Simplified(text), u"+" + C(30) + u"*Pa");
    EXPECT_EQ(table.ConstantCount, before + 1);
}

TEST_F(Simplification, AFullTableLeavesConstantsUnfolded)
{
    const TokenText two = C(2), three = C(3);
    for (int i = 0; table.ConstantCount <= kConstantCapacity; ++i) C(1000 + i);
    const TokenText text = u"+" + two + u"*" + three + u"*Pa+" + two + u"+" + three;
    EXPECT_EQ(Simplified(text), text);
}

TEST_F(Simplification, DeepAndLongFormulasFinish)
{
    std::string nested = "P1";
    for (int k = 0; k < 40; ++k) nested = (k % 2 ? "EX(" : "LN(") + nested + "*1)";
    ExpectSameMeaning(nested);
    std::string sum = "P1";
    for (int k = 0; k < 120; ++k)
        sum += (k % 3 ? "+" : "-") + std::to_string(k % 7) + "*P" + std::to_string(1 + k % 4);
    ExpectSameMeaning(sum);
}

TEST_F(Simplification, MalformedTextsAreLeftForTheCompiler)
{
    for (const char16_t* text : {u"+Pa*(Pb", u"+Pa)", u"+EX()", u"+()", u"+Pa*?"}) {
        TokenText t = text;
        SimplifyFormula(t, table);
        EXPECT_EQ(t, TokenText(text));
    }
}

}  // namespace
}  // namespace tessuvan::testing
