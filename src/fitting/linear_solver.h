// The dense linear algebra of the fits: solve the damped normal equations M·x = g of one step,
// or invert the information matrix whose diagonal gives the standard errors.
//
// Both routines work on fixed-capacity matrices indexed from 1 (row and column 0 unused); a
// system of order n uses the leading n-by-n block and ignores every other entry, except that a
// row exchange swaps whole rows. The matrix and vector arguments are taken by value, so the
// caller's copies never change; nothing is allocated on the heap.
//
// A pivot counts as zero when its magnitude is strictly below SingularityThreshold; an entry
// below a pivot is eliminated only when its magnitude is strictly above it. A magnitude of
// exactly 1e-130 is therefore a usable pivot but is not eliminated.
//
//   FitMatrix M{};  FitVector g{}, x{};  SolverStatus status;
//   M[1][1] = 2;  g[1] = 4;
//   SolveLinearSystem(1, M, g, x, status);   // status == kSolverDone, x[1] == 2
#pragma once

#include <array>
#include <cstdint>

#include "common/numeric.h"

namespace tessuvan {

using FitVector = std::array<WorkingFloat, kMaxAdjustables + 1>;  // entries 1..kMaxAdjustables
using FitMatrix = std::array<FitVector, kMaxAdjustables + 1>;     // [row][column], 1-based

inline constexpr WorkingFloat SingularityThreshold = ObservationThreshold;  // 1e-130

// 0 on success; the fits add a non-zero status to BFitSet.Erreur.
using SolverStatus = int32_t;
inline constexpr SolverStatus kSolverDone = 0;
// The order n is 0, negative, or above kMaxAdjustables.
inline constexpr SolverStatus kSolverOrder = TessuvanSolverOrder;
// n = 1 with |A[1][1]| < 1e-130; for InvertMatrix also a column without any usable pivot.
inline constexpr SolverStatus kSolverSingleCoefficient = TessuvanSolverSingleCoefficient;
// Elimination step k: no row below has a larger magnitude in column k and |A[k][k]| < 1e-130.
inline constexpr SolverStatus kSolverPivot = TessuvanSolverPivot;
// After elimination |A[n][n]| < 1e-130 (replaces an earlier kSolverPivot).
inline constexpr SolverStatus kSolverSingular = TessuvanSolverSingular;
// An entry of the leading block or of b is infinite or not a number, or the result overflowed
// or became not a number: nothing usable was produced.
inline constexpr SolverStatus kSolverNotFinite = TessuvanSolverNotFinite;

// Gaussian elimination with partial pivoting (the row of largest magnitude moves up; among
// equal magnitudes the uppermost row stays), then back substitution
//   x[i] = (b[i] − Σ_{j>i} A[i][j]·x[j]) / A[i][i].
// On success x[1..n] solves A·x = b; on any other status x is not written.
void SolveLinearSystem(int n, FitMatrix A, FitVector b, FitVector& x, SolverStatus& status);

// Gauss–Jordan elimination of A against the identity. The diagonal is kept as pivot unless it
// is below the threshold; then the first row below with a usable entry is exchanged with it.
// On success the leading n-by-n block of Ainv is A⁻¹ and every other entry of Ainv is 0. On
// kSolverOrder, or kSolverNotFinite found in A, Ainv is not written; on any other non-zero
// status it holds intermediate values that must not be used.
void InvertMatrix(int n, FitMatrix A, FitMatrix& Ainv, SolverStatus& status);

}  // namespace tessuvan
