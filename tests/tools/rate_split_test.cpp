// Rates into the engine's A·x + F: terms linear in one compartment go to the matrix entry of
// that compartment, everything else to F.
#include <gtest/gtest.h>

#include "model/engine_text.h"
#include "model/rate_split.h"

namespace tessuvan::cli {
namespace {

std::optional<Symbol> Names(std::string_view name)
{
    if (name == "x") return Symbol{SymbolKind::Compartment, 1};
    if (name == "y") return Symbol{SymbolKind::Compartment, 2};
    if (name == "z") return Symbol{SymbolKind::Compartment, 3};
    if (name == "k") return Symbol{SymbolKind::Parameter, 1};
    if (name == "m") return Symbol{SymbolKind::Parameter, 2};
    if (name == "V") return Symbol{SymbolKind::Parameter, 3};
    if (name == "t") return Symbol{SymbolKind::Time, 0};
    return std::nullopt;
}

struct Split {
    std::vector<std::string> matrix;
    std::string free;
};

Split SplitOf(const std::string& rate)
{
    const SplitRate split = SplitIntoMatrixAndFree(ParseFormula(rate, Names), 3);
    Split texts;
    for (const NodePtr& entry : split.matrix) texts.matrix.push_back(entry ? EngineText(*entry) : "");
    texts.free = split.free ? EngineText(*split.free) : "";
    return texts;
}

TEST(RateSplitting, FirstOrderTransfersGoToTheMatrix)
{
    const Split split = SplitOf("k*x - m*y");
    EXPECT_EQ(split.matrix, (std::vector<std::string>{"A1", "-A2", ""}));
    EXPECT_EQ(split.free, "");
}

TEST(RateSplitting, ACoefficientKeepsEveryFactorOnEitherSide)
{
    EXPECT_EQ(SplitOf("k*x/V").matrix[0], "A1/A3");
    EXPECT_EQ(SplitOf("x*k*2").matrix[0], "A1*2");
    EXPECT_EQ(SplitOf("x/V").matrix[0], "1/A3");
    EXPECT_EQ(SplitOf("-x").matrix[0], "-1");
    EXPECT_EQ(SplitOf("(k + m)*y").matrix[1], "A1+A2");
    EXPECT_EQ(SplitOf("exp(-k*t)*z").matrix[2], "EX((-A1)*T)");
}

TEST(RateSplitting, SeveralTermsOfOneCompartmentAddUp)
{
    const Split split = SplitOf("k*x - m*x + V*y");
    EXPECT_EQ(split.matrix[0], "A1-A2");
    EXPECT_EQ(split.matrix[1], "A3");
}

TEST(RateSplitting, ProductsDistributeOverSumsOfCompartments)
{
    const Split split = SplitOf("k*(x - y)");
    EXPECT_EQ(split.matrix[0], "A1");
    EXPECT_EQ(split.matrix[1], "-A1");
    const Split divided = SplitOf("(x + 2*y)/V");
    EXPECT_EQ(divided.matrix[0], "1/A3");
    EXPECT_EQ(divided.matrix[1], "2/A3");
    const Split negated = SplitOf("-(x - y)*k");
    EXPECT_EQ(negated.matrix[0], "-A1");
    EXPECT_EQ(negated.matrix[1], "A1");
}

TEST(RateSplitting, NonlinearTermsGoToF)
{
    // Saturable elimination, second order, a power and a function of an amount.
    EXPECT_EQ(SplitOf("-m*x/(V + x)").free, "(-A2)*F1/(A3+F1)");
    EXPECT_EQ(SplitOf("k*x*y").free, "A1*F1*F2");
    EXPECT_EQ(SplitOf("x^2").free, "F1^2");
    EXPECT_EQ(SplitOf("log(x)").free, "LN(F1)");
    const Split none = SplitOf("k*x*y");
    EXPECT_EQ(none.matrix, (std::vector<std::string>{"", "", ""}));
}

TEST(RateSplitting, TermsWithoutAmountsGoToF)
{
    const Split split = SplitOf("k - m*x + 3*t");
    EXPECT_EQ(split.matrix[0], "-A2");
    EXPECT_EQ(split.free, "A1+3*T");
    EXPECT_EQ(SplitOf("0").free, "");
}

TEST(RateSplitting, ALinearAndANonlinearPartOfOneRateSeparate)
{
    const Split split = SplitOf("-k*x - m*x/(V+x) + k*y");
    EXPECT_EQ(split.matrix[0], "-A1");
    EXPECT_EQ(split.matrix[1], "A1");
    EXPECT_EQ(split.free, "-A2*F1/(A3+F1)");
}

}  // namespace
}  // namespace tessuvan::cli
