#include <cmath>
#include <limits>

#include "model_bench.h"

namespace tessuvan::testing {
namespace {

class RightHandSideEvaluation : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.variables().CurrentTime = 7;
        model.variables().SpeciesAmounts = Amounts({-1, -2, -3});
    }
    ModelBench model;
};

TEST_F(RightHandSideEvaluation, FormulasSeeTheTrialTimeAndAmounts)
{
    model.SetF(1, "T*F1+F2");
    model.SetA(1, 2, "T-F2");
    AmountVector F{}, x = Amounts({2, 5});
    ModelMatrix A{};
    EvaluateFM(model.rhs, 2, 3, x, F);
    EvaluateAM(model.rhs, 2, 3, x, A);
    EXPECT_EQ(F[1], 11);
    EXPECT_EQ(A[1][2], -2);
}

TEST_F(RightHandSideEvaluation, ASpeciesBeyondTheCountIsReadFromTheCallersVector)
{
    model.SetF(1, "F3");
    AmountVector F{}, x = Amounts({1, 2, 42});
    EvaluateFM(model.rhs, 1, 0, x, F);
    EXPECT_EQ(F[1], 42);
}

TEST_F(RightHandSideEvaluation, AbsentOrUncompiledFormulasCountAsZero)
{
    model.SetF(1, "5");
    model.equations.FM[2] = NewFormula();  // allocated by a load that stopped: not compiled
    model.SetA(1, 1, "5");
    model.equations.AM[2][1] = NewFormula();
    AmountVector F = Amounts({9, 9, 9}), x = Amounts({1, 1});
    ModelMatrix A{};
    A[1][2] = A[2][1] = A[2][2] = 9;
    EvaluateFM(model.rhs, 2, 0, x, F);
    EvaluateAM(model.rhs, 2, 0, x, A);
    EXPECT_EQ(F[1], 5);
    EXPECT_EQ(F[2], 0);
    EXPECT_EQ(F[3], 9) << "entries beyond n are not written";
    EXPECT_EQ(A[1][2], 0);
    EXPECT_EQ(A[2][1], 0);
    EXPECT_EQ(A[2][2], 0);
}

TEST_F(RightHandSideEvaluation, NoSpeciesWritesNothingAndEvaluatesNothing)
{
    model.SetF(1, "1");
    model.SetA(1, 1, "1");
    model.RecordTimesThrough(1);
    AmountVector F = Amounts({9}), dx = Amounts({9});
    ModelMatrix A{};
    A[1][1] = 9;
    EvaluateFM(model.rhs, 0, 0, Amounts({}), F);
    EvaluateAM(model.rhs, 0, 0, Amounts({}), A);
    ModelDerivative(model.rhs, 0, 0, Amounts({}), dx);
    EXPECT_EQ(F[1], 9);
    EXPECT_EQ(A[1][1], 9);
    EXPECT_EQ(dx[1], 9);
    EXPECT_TRUE(model.times.empty());
}

TEST_F(RightHandSideEvaluation, TheDerivativeIsTheMatrixTimesTheAmountsPlusTheVector)
{
    model.SetA(1, 1, "-2");
    model.SetA(1, 2, "T");
    model.SetA(2, 1, "F2");
    model.SetF(1, "1");
    model.SetF(2, "F1*T");
    AmountVector dx{}, x = Amounts({3, 4});
    ModelDerivative(model.rhs, 2, 5, x, dx);
    EXPECT_EQ(dx[1], -2 * 3 + 5 * 4 + 1);
    EXPECT_EQ(dx[2], 4 * 3 + 0 * 4 + 3 * 5);
}

TEST_F(RightHandSideEvaluation, EvaluationsLeaveTimeAndAmountsAsTheyFoundThem)
{
    model.SetA(1, 1, "-F1*T");
    model.SetF(1, "F2");
    const FormulaVariables before = model.variables();
    AmountVector out{};
    ModelMatrix A{};
    for (int k = 0; k < 5; ++k) {
        EvaluateFM(model.rhs, 2, k, Amounts({WorkingFloat(k), 1}), out);
        EvaluateAM(model.rhs, 2, k, Amounts({WorkingFloat(k), 1}), A);
        ModelDerivative(model.rhs, 2, k, Amounts({WorkingFloat(k), 1}), out);
    }
    EXPECT_EQ(model.variables().CurrentTime, before.CurrentTime);
    for (int i = 0; i <= kMaxSpecies; ++i) EXPECT_EQ(model.variables().SpeciesAmounts[i], before.SpeciesAmounts[i]);
}

TEST(MatrixTimesVector, SumsEachRowLeftToRight)
{
    // (big + 1) - big is 0 in floating point; (big - big) + 1 is 1.
    const WorkingFloat big = 4 / std::numeric_limits<WorkingFloat>::epsilon();
    ModelMatrix M{};
    M[1][1] = big;
    M[1][2] = 1;
    M[1][3] = -big;
    M[2][1] = 2;
    AmountVector y = Amounts({}), x = Amounts({1, 1, 1});
    MatrixTimesVector(3, M, x, y);
    EXPECT_EQ(y[1], 0);
    EXPECT_EQ(y[2], 2);
    EXPECT_EQ(y[4], 1004) << "entries beyond n are not written";

    AmountVector F = Amounts({10, 20, 30});
    MatrixTimesVectorPlus(3, x, F, M, y);
    EXPECT_EQ(y[1], 10);
    EXPECT_EQ(y[2], 22);
    EXPECT_EQ(y[3], 30);
}

}  // namespace
}  // namespace tessuvan::testing
