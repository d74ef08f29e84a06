#include <cmath>
#include <initializer_list>
#include <limits>

#include <gtest/gtest.h>

#include "fitting/linear_solver.h"

namespace tessuvan {
namespace {

// The leading block of a matrix from its rows; every other entry holds `outside`.
FitMatrix Matrix(std::initializer_list<std::initializer_list<WorkingFloat>> rows, WorkingFloat outside = 0)
{
    FitMatrix A;
    for (FitVector& row : A) row.fill(outside);
    int i = 1;
    for (const auto& row : rows) {
        int j = 1;
        for (WorkingFloat value : row) A[i][j++] = value;
        ++i;
    }
    return A;
}

FitVector Vector(std::initializer_list<WorkingFloat> values, WorkingFloat outside = 0)
{
    FitVector v;
    v.fill(outside);
    int i = 1;
    for (WorkingFloat value : values) v[i++] = value;
    return v;
}

constexpr WorkingFloat kUntouched = -777;
constexpr WorkingFloat kHuge = std::numeric_limits<WorkingFloat>::max();
constexpr WorkingFloat kTiny = std::numeric_limits<WorkingFloat>::min();
constexpr WorkingFloat kNaN = std::numeric_limits<WorkingFloat>::quiet_NaN();

struct Solved {
    SolverStatus status;
    FitVector x;
};

Solved Solve(int n, const FitMatrix& A, const FitVector& b)
{
    Solved result{-1, Vector({}, kUntouched)};
    SolveLinearSystem(n, A, b, result.x, result.status);
    return result;
}

void ExpectUntouched(const FitVector& x)
{
    for (int i = 0; i <= kMaxAdjustables; ++i) EXPECT_EQ(x[i], kUntouched) << i;
}

TEST(SolveLinearSystem, AnOrderOutsideOneToCapacityIsStatusOneAndWritesNothing)
{
    const FitMatrix A = Matrix({{1}});
    const FitVector b = Vector({1});
    for (int n : {0, -3, kMaxAdjustables + 1}) {
        const Solved solved = Solve(n, A, b);
        EXPECT_EQ(solved.status, kSolverOrder) << n;
        ExpectUntouched(solved.x);
    }
}

TEST(SolveLinearSystem, ASingleCoefficientBelowTheThresholdIsStatusTwo)
{
    const Solved solved = Solve(1, Matrix({{static_cast<WorkingFloat>(1e-131L)}}), Vector({2}));
    EXPECT_EQ(solved.status, kSolverSingleCoefficient);
    ExpectUntouched(solved.x);
}

TEST(SolveLinearSystem, ASingleCoefficientOfExactlyTheThresholdIsSolved)
{
    const Solved solved = Solve(1, Matrix({{SingularityThreshold}}), Vector({2}));
    EXPECT_EQ(solved.status, kSolverDone);
    EXPECT_EQ(solved.x[1], 2 / SingularityThreshold);
    EXPECT_EQ(solved.x[2], kUntouched);
}

TEST(SolveLinearSystem, AZeroLeadingEntryBringsTheLowerRowUp)
{
    const Solved solved = Solve(2, Matrix({{0, 1}, {1, 0}}), Vector({2, 3}));
    EXPECT_EQ(solved.status, kSolverDone);
    EXPECT_EQ(solved.x[1], 3);
    EXPECT_EQ(solved.x[2], 2);
}

TEST(SolveLinearSystem, ASingularSystemIsStatusFourAndLeavesTheSolutionAlone)
{
    const Solved solved = Solve(2, Matrix({{1, 2}, {2, 4}}), Vector({1, 1}));
    EXPECT_EQ(solved.status, kSolverSingular);
    ExpectUntouched(solved.x);
}

TEST(SolveLinearSystem, ATieWithTheDiagonalKeepsTheUpperRowAndReportsTheZeroPivot)
{
    // Both candidates in column 1 are 0: the diagonal stays (a tie is no reason to exchange)
    // and is unusable, so the elimination stops with status 3. Exchanging on the tie would
    // have let the zero pivot through unnoticed.
    const Solved solved = Solve(2, Matrix({{0, 1}, {0, 2}}), Vector({1, 1}));
    EXPECT_EQ(solved.status, kSolverPivot);
    ExpectUntouched(solved.x);
}

TEST(SolveLinearSystem, ALastDiagonalBelowTheThresholdReplacesStatusThree)
{
    const Solved solved = Solve(3, Matrix({{0, 1, 0}, {0, 1, 0}, {0, 0, 0}}), Vector({1, 1, 1}));
    EXPECT_EQ(solved.status, kSolverSingular);
}

TEST(SolveLinearSystem, EntriesOutsideTheLeadingBlockHaveNoInfluence)
{
    const FitMatrix clean = Matrix({{4, -2, 1}, {3, 6, -4}, {2, 1, 8}});
    const FitMatrix dirty = Matrix({{4, -2, 1}, {3, 6, -4}, {2, 1, 8}}, kNaN);
    const Solved reference = Solve(3, clean, Vector({11, -21, 24}));
    const Solved solved = Solve(3, dirty, Vector({11, -21, 24}, kHuge));
    ASSERT_EQ(reference.status, kSolverDone);
    ASSERT_EQ(solved.status, kSolverDone);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(solved.x[i], reference.x[i]) << i;
    EXPECT_NEAR(static_cast<double>(solved.x[1]), 1.0, 1e-12);
    EXPECT_NEAR(static_cast<double>(solved.x[2]), -2.0, 1e-12);
    EXPECT_NEAR(static_cast<double>(solved.x[3]), 3.0, 1e-12);
    EXPECT_EQ(solved.x[4], kUntouched);
}

TEST(SolveLinearSystem, TheCallersMatrixAndVectorStayAsTheyWere)
{
    const FitMatrix A = Matrix({{0, 1}, {1, 0}});
    const FitVector b = Vector({2, 3});
    FitMatrix copyA = A;
    FitVector copyB = b;
    FitVector x{};
    SolverStatus status = -1;
    SolveLinearSystem(2, copyA, copyB, x, status);
    EXPECT_EQ(copyA, A);
    EXPECT_EQ(copyB, b);
}

TEST(SolveLinearSystem, ANotANumberInTheEquationsIsReportedNotPropagated)
{
    const Solved inMatrix = Solve(2, Matrix({{kNaN, 1}, {1, 1}}), Vector({1, 1}));
    EXPECT_EQ(inMatrix.status, kSolverNotFinite);
    ExpectUntouched(inMatrix.x);
    const Solved inVector = Solve(2, Matrix({{2, 1}, {1, 1}}), Vector({1, -std::numeric_limits<WorkingFloat>::infinity()}));
    EXPECT_EQ(inVector.status, kSolverNotFinite);
    ExpectUntouched(inVector.x);
}

TEST(SolveLinearSystem, AnOverflowingQuotientIsReportedNotPropagated)
{
    // The tiny entry is brought up by the exchange and is not tested as a pivot.
    const Solved solved = Solve(2, Matrix({{0, 1}, {kTiny, 0}}), Vector({1, kHuge}));
    EXPECT_EQ(solved.status, kSolverNotFinite);
    ExpectUntouched(solved.x);
    const Solved single = Solve(1, Matrix({{SingularityThreshold}}), Vector({kHuge}));
    EXPECT_EQ(single.status, kSolverNotFinite);
    ExpectUntouched(single.x);
}

struct Inverted {
    SolverStatus status;
    FitMatrix inverse;
};

Inverted Invert(int n, const FitMatrix& A)
{
    Inverted result{-1, Matrix({}, kUntouched)};
    InvertMatrix(n, A, result.inverse, result.status);
    return result;
}

TEST(InvertMatrix, AnOrderBelowOneIsStatusOneAndWritesNothing)
{
    const Inverted inverted = Invert(0, Matrix({{1}}));
    EXPECT_EQ(inverted.status, kSolverOrder);
    EXPECT_EQ(inverted.inverse, Matrix({}, kUntouched));
}

TEST(InvertMatrix, AZeroDiagonalIsExchangedWithTheFirstUsableRow)
{
    const Inverted inverted = Invert(2, Matrix({{0, 1}, {1, 0}}, kNaN));
    EXPECT_EQ(inverted.status, kSolverDone);
    EXPECT_EQ(inverted.inverse, Matrix({{0, 1}, {1, 0}}));  // every other entry 0
}

TEST(InvertMatrix, AColumnWithoutUsablePivotIsStatusTwo)
{
    EXPECT_EQ(Invert(2, Matrix({{1, 1}, {1, 1}})).status, kSolverSingleCoefficient);
    const Inverted single = Invert(1, Matrix({{static_cast<WorkingFloat>(1e-131L)}}));
    EXPECT_EQ(single.status, kSolverSingleCoefficient);
    EXPECT_EQ(single.inverse, Matrix({{1}}));
}

TEST(InvertMatrix, TheInverseTimesTheMatrixIsTheIdentity)
{
    const FitMatrix A = Matrix({{4, 1, 2}, {1, 5, 3}, {2, 3, 6}});
    const Inverted inverted = Invert(3, Matrix({{4, 1, 2}, {1, 5, 3}, {2, 3, 6}}, kHuge));
    ASSERT_EQ(inverted.status, kSolverDone);
    for (int i = 1; i <= 3; ++i) {
        for (int j = 1; j <= 3; ++j) {
            WorkingFloat product = 0;
            for (int k = 1; k <= 3; ++k) product += inverted.inverse[i][k] * A[k][j];
            EXPECT_NEAR(static_cast<double>(product), i == j ? 1.0 : 0.0, 1e-14) << i << "," << j;
        }
    }
    for (int j = 0; j <= kMaxAdjustables; ++j) EXPECT_EQ(inverted.inverse[4][j], 0) << j;
}

TEST(InvertMatrix, AnOverflowIsReportedNotPropagated)
{
    const Inverted inverted = Invert(2, Matrix({{1, kHuge}, {1, -kHuge}}));
    EXPECT_EQ(inverted.status, kSolverNotFinite);
    EXPECT_EQ(Invert(2, Matrix({{1, kNaN}, {0, 1}})).status, kSolverNotFinite);
}

}  // namespace
}  // namespace tessuvan
