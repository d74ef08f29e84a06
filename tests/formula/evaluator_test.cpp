#include <bit>
#include <cmath>
#include <cstdint>

#include <gtest/gtest.h>

#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

class Evaluation : public ::testing::Test {
protected:
    WorkingFloat Value(const std::string& text)
    {
        auto compiled = bench.Compile(text);
        EXPECT_EQ(compiled->errors, 0) << text;
        if (compiled->errors != 0) return std::numeric_limits<WorkingFloat>::quiet_NaN();
        return EvaluateFormula(compiled->formula);
    }
    FormulaBench bench;
};

TEST_F(Evaluation, OneOperandIsOneSetStep)
{
    bench.variables.PParameters[1] = 4.5;
    auto compiled = bench.Compile("+P1");
    ASSERT_EQ(compiled->errors, 0);
    EXPECT_EQ(compiled->formula->stop, 1);
    EXPECT_EQ(compiled->formula->fonction[0], &StepSet);
    EXPECT_EQ(EvaluateFormula(compiled->formula), 4.5);
}

TEST_F(Evaluation, DivisionByZeroGivesTheLargeReplacement)
{
    bench.variables.PParameters[1] = 3;
    const WorkingFloat value = Value("P1/P2");
#if defined(TESSUVAN_BUILD_64)
    EXPECT_EQ(std::bit_cast<uint64_t>(value), 0x5AECDA62055B2D9DULL);
#else
    EXPECT_EQ(value, 1e130L);
#endif
}

TEST_F(Evaluation, LogarithmOfZeroOrNegativeIsTakenAtTheThreshold)
{
    bench.variables.PParameters[1] = -5;
    const WorkingFloat expected = std::log(ObservationThreshold);
    EXPECT_EQ(Value("LN(P2)"), expected);
    EXPECT_EQ(Value("LN(P1)"), expected);
    EXPECT_NEAR(static_cast<double>(expected), -299.336, 1e-3);
}

TEST_F(Evaluation, ExponentialOfATinyValueIsExactlyOne)
{
    bench.variables.PParameters[1] = static_cast<WorkingFloat>(1e-131L);
    EXPECT_EQ(Value("EX(P1)"), 1);
    EXPECT_EQ(Value("ex(P2)"), 1);
}

TEST_F(Evaluation, PowersFollowTheEnginesRules)
{
    EXPECT_EQ(Power(-2, 3), -8);
    EXPECT_EQ(Power(0, 0), 1);
    EXPECT_EQ(Power(0, 2.5), 0);
    EXPECT_EQ(Power(2, -2), 0.25);
    EXPECT_TRUE(std::isnan(Power(-2, 0.5)));
    EXPECT_TRUE(std::isinf(Power(0, -1)));
    EXPECT_EQ(Power(2, 0.5), std::exp(WorkingFloat(0.5) * std::log(WorkingFloat(2))));
}

TEST_F(Evaluation, PowerChainsGroupToTheLeft)
{
    bench.variables.PParameters[1] = 2;
    bench.variables.PParameters[2] = 3;
    bench.variables.PParameters[3] = 2;
    EXPECT_EQ(Value("+P1^P2^P3"), 64);  // (2^3)^2, not 2^(3^2)
}

TEST_F(Evaluation, OperatorsBindAsUsual)
{
    bench.variables.PParameters[1] = 2;
    bench.variables.PParameters[2] = 3;
    bench.variables.PParameters[3] = 4;
    bench.variables.PParameters[4] = 5;
    bench.variables.PParameters[5] = 8;
    EXPECT_EQ(Value("P1+P2*P3-P4/P5"), 2 + 3 * 4 - WorkingFloat(5) / 8);
    EXPECT_EQ(Value("(P1+P2)*P3"), 20);
    EXPECT_EQ(Value("-F2*T"), -0.0);
    EXPECT_EQ(Value("P1*EX(P2-P2)+LN(P3)^2"), 2 + std::log(WorkingFloat(4)) * std::log(WorkingFloat(4)));
    EXPECT_EQ(Value("((P1))"), 2);
    EXPECT_EQ(Value("(P1+P2)^P1*P3"), 100);
}

TEST_F(Evaluation, FormulasSeeTheCurrentCellContents)
{
    auto compiled = bench.Compile("F1*T+Q2-A3");
    ASSERT_EQ(compiled->errors, 0);
    bench.variables.SpeciesAmounts[1] = 2;
    bench.variables.CurrentTime = 5;
    bench.variables.QParameters[2] = 1;
    bench.variables.AdjustableValues[3] = 0.5;
    EXPECT_EQ(EvaluateFormula(compiled->formula), 10.5);
    bench.variables.CurrentTime = 6;
    EXPECT_EQ(EvaluateFormula(compiled->formula), 12.5);
}

TEST_F(Evaluation, CountReferencesFindsAnAddressAtAnyDepth)
{
    auto compiled = bench.Compile("P1+(P2*(P3+EX(P1*(P1))))");
    ASSERT_EQ(compiled->errors, 0);
    EXPECT_EQ(CountReferences(&bench.variables.PParameters[1], compiled->formula), 3);
    EXPECT_EQ(CountReferences(&bench.variables.PParameters[3], compiled->formula), 1);
    EXPECT_EQ(CountReferences(&bench.variables.PParameters[4], compiled->formula), 0);
    FreeFormula(nullptr);  // nothing to do
}

TEST_F(Evaluation, DefinedParametersAreInlined)
{
    bench.definitions.texts[2] = U16("+Aa*Ca");
    bench.constants.entry[1] = 3;
    bench.constants.ConstantCount = 2;
    bench.variables.AdjustableValues[1] = 2;
    bench.variables.AdjustableValues[2] = 100;  // ignored: A2 is computed from its definition
    EXPECT_EQ(Value("A2+1"), 7);
}

}  // namespace
}  // namespace tessuvan::testing
