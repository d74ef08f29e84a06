// Formulas by name into engine text: names become tokens, unknown names are refused, and the
// engine's own reading rules (left-grouping powers, a minus sign that sticks to a number) never
// change what the user wrote.
#include <gtest/gtest.h>

#include "model/engine_text.h"
#include "model/expression.h"

namespace tessuvan::cli {
namespace {

std::optional<Symbol> Names(std::string_view name)
{
    if (name == "depot") return Symbol{SymbolKind::Compartment, 1};
    if (name == "central") return Symbol{SymbolKind::Compartment, 2};
    if (name == "ka") return Symbol{SymbolKind::Parameter, 1};
    if (name == "ke") return Symbol{SymbolKind::Parameter, 2};
    if (name == "V") return Symbol{SymbolKind::Parameter, 12};
    if (name == "wt") return Symbol{SymbolKind::Covariate, 3};
    if (name == "dose") return Symbol{SymbolKind::PParameter, 1};
    if (name == "t") return Symbol{SymbolKind::Time, 0};
    return std::nullopt;
}

std::string Engine(const std::string& text) { return EngineText(*ParseFormula(text, Names)); }

TEST(NamesToTokens, EveryKindOfNameBecomesItsEngineVariable)
{
    EXPECT_EQ(Engine("ka*depot"), "A1*F1");
    EXPECT_EQ(Engine("central/V"), "F2/A12");
    EXPECT_EQ(Engine("wt + dose*t"), "Q3+P1*T");
}

TEST(NamesToTokens, FunctionsMapToTheEnginesTwo)
{
    EXPECT_EQ(Engine("exp(-ke*t)"), "EX((-A2)*T)");
    EXPECT_EQ(Engine("log(V) + ln(wt)"), "LN(A12)+LN(Q3)");
    EXPECT_EQ(Engine("sqrt(V)"), "A12^0.5");
}

TEST(NamesToTokens, UnknownNamesAreRefusedWithTheirPosition)
{
    try {
        ParseFormula("ka*depot - kx*central", Names);
        FAIL() << "an unknown name was accepted";
    } catch (const FormulaError& error) {
        EXPECT_STREQ(error.what(), "unknown name 'kx'");
        EXPECT_EQ(error.column(), 12u);
    }
    EXPECT_THROW(ParseFormula("power(ka, 2)", Names), FormulaError);
    EXPECT_THROW(ParseFormula("ka*", Names), FormulaError);
    EXPECT_THROW(ParseFormula("(ka", Names), FormulaError);
    EXPECT_THROW(ParseFormula("ka)", Names), FormulaError);
    EXPECT_THROW(ParseFormula("1.2.3", Names), FormulaError);
    EXPECT_THROW(ParseFormula("ka**2", Names), FormulaError);
    EXPECT_THROW(ParseFormula("", Names), FormulaError);
}

TEST(EngineReadingRules, PowersGroupAsInMathematics)
{
    // The engine groups a^b^c as (a^b)^c; the user means a^(b^c).
    EXPECT_EQ(Engine("ka^ke^V"), "A1^(A2^A12)");
    EXPECT_EQ(Engine("(ka^ke)^V"), "(A1^A2)^A12");
    EXPECT_EQ(Engine("ka^exp(ke)"), "A1^(EX(A2))");
    EXPECT_EQ(Engine("(ka*ke)^2"), "(A1*A2)^2");
}

TEST(EngineReadingRules, AMinusBeforeANumberKeepsTheUsersMeaning)
{
    // -2^x is -(2^x) for the user; the engine would read (-2)^x.
    EXPECT_EQ(Engine("-2^ka"), "-(2^A1)");
    EXPECT_EQ(Engine("ke - 2^ka"), "A2-(2^A1)");
    EXPECT_EQ(Engine("ke - 2*ka"), "A2-(2*A1)");
    // A plain number after a minus means the same either way.
    EXPECT_EQ(Engine("ke - 2"), "A2-2");
    EXPECT_EQ(Engine("-2"), "-2");
    EXPECT_EQ(Engine("ka^-2"), "A1^(-2)");
}

TEST(EngineReadingRules, NegationIsNeverABareOperand)
{
    EXPECT_EQ(Engine("ka*-ke"), "A1*(-A2)");
    EXPECT_EQ(Engine("ka/-ke"), "A1/(-A2)");
    EXPECT_EQ(Engine("ka - -ke"), "A1-(-A2)");
    EXPECT_EQ(Engine("-ka + ke"), "(-A1)+A2");
    EXPECT_EQ(Engine("--ka"), "-(-A1)");
}

TEST(EngineReadingRules, TheUsersGroupingIsKept)
{
    EXPECT_EQ(Engine("ka - (ke - V)"), "A1-(A2-A12)");
    EXPECT_EQ(Engine("ka - ke - V"), "A1-A2-A12");
    EXPECT_EQ(Engine("ka / (ke * V)"), "A1/(A2*A12)");
    EXPECT_EQ(Engine("ka / ke * V"), "A1/A2*A12");
    EXPECT_EQ(Engine("ka * (ke + V)"), "A1*(A2+A12)");
    EXPECT_EQ(Engine("ka + ke * V"), "A1+A2*A12");
    EXPECT_EQ(Engine("1.5e-3 * ka"), "1.5e-3*A1");
}

}  // namespace
}  // namespace tessuvan::cli
