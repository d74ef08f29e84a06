#include "fitting/linear_solver.h"

#include <cmath>
#include <utility>

namespace tessuvan {
namespace {

bool IsFinite(WorkingFloat value) { return std::isfinite(value); }

bool LeadingEntriesFinite(const FitVector& v, int n)
{
    for (int i = 1; i <= n; ++i)
        if (!IsFinite(v[i])) return false;
    return true;
}

bool LeadingBlockFinite(const FitMatrix& A, int n)
{
    for (int i = 1; i <= n; ++i)
        if (!LeadingEntriesFinite(A[i], n)) return false;
    return true;
}

bool UsablePivot(WorkingFloat value) { return !(std::fabs(value) < SingularityThreshold); }
bool WorthEliminating(WorkingFloat value) { return std::fabs(value) > SingularityThreshold; }

// row target := row target + f·(row source), columns 1..n.
void AddMultipleOfRow(FitVector& target, WorkingFloat f, const FitVector& source, int n)
{
    for (int j = 1; j <= n; ++j) target[j] = target[j] + f * source[j];
}

// row := row / divisor, columns 1..n.
void DivideRow(FitVector& row, WorkingFloat divisor, int n)
{
    for (int j = 1; j <= n; ++j) row[j] = row[j] / divisor;
}

}  // namespace

void SolveLinearSystem(int n, FitMatrix A, FitVector b, FitVector& x, SolverStatus& status)
{
    status = kSolverDone;
    if (n <= 0 || n > kMaxAdjustables) {
        status = kSolverOrder;
        return;
    }
    if (!LeadingBlockFinite(A, n) || !LeadingEntriesFinite(b, n)) {
        status = kSolverNotFinite;
        return;
    }
    if (n == 1) {
        if (!UsablePivot(A[1][1])) {
            status = kSolverSingleCoefficient;
            return;
        }
        const WorkingFloat solution = b[1] / A[1][1];
        if (!IsFinite(solution)) {
            status = kSolverNotFinite;
            return;
        }
        x[1] = solution;
        return;
    }

    for (int k = 1; k <= n - 1 && status == kSolverDone; ++k) {
        // Strict comparison: among equal magnitudes the uppermost row wins, and a tie with row
        // k keeps row k.
        int p = k;
        for (int i = k + 1; i <= n; ++i)
            if (std::fabs(A[i][k]) > std::fabs(A[p][k])) p = i;
        if (p != k) {
            std::swap(A[p], A[k]);  // whole rows, the full capacity width
            std::swap(b[p], b[k]);
        } else if (!UsablePivot(A[k][k])) {
            status = kSolverPivot;
        }
        if (status != kSolverDone) break;
        for (int i = k + 1; i <= n; ++i) {
            if (!WorthEliminating(A[i][k])) continue;  // its entry below the diagonal is never read again
            const WorkingFloat f = -A[i][k] / A[k][k];
            AddMultipleOfRow(A[i], f, A[k], n);
            b[i] = b[i] + f * b[k];
        }
    }
    if (!UsablePivot(A[n][n])) status = kSolverSingular;
    if (status != kSolverDone) return;

    // Back substitution into a local vector, so that x is written only with a finite result.
    FitVector solution{};
    for (int i = n; i >= 1; --i) {
        WorkingFloat sum = 0;
        for (int j = i + 1; j <= n; ++j) sum = sum + A[i][j] * solution[j];
        solution[i] = (b[i] - sum) / A[i][i];
    }
    if (!LeadingEntriesFinite(solution, n)) {
        status = kSolverNotFinite;
        return;
    }
    for (int i = 1; i <= n; ++i) x[i] = solution[i];
}

void InvertMatrix(int n, FitMatrix A, FitMatrix& Ainv, SolverStatus& status)
{
    status = kSolverDone;
    if (n < 1 || n > kMaxAdjustables) {
        status = kSolverOrder;
        return;
    }
    if (!LeadingBlockFinite(A, n)) {
        status = kSolverNotFinite;
        return;
    }
    for (FitVector& row : Ainv) row.fill(0);
    for (int i = 1; i <= n; ++i) Ainv[i][i] = 1;

    if (n == 1) {
        if (!UsablePivot(A[1][1])) {
            status = kSolverSingleCoefficient;  // Ainv stays the identity
            return;
        }
        Ainv[1][1] = 1 / A[1][1];
        if (!IsFinite(Ainv[1][1])) status = kSolverNotFinite;
        return;
    }

    for (int k = 1; k <= n; ++k) {
        if (!UsablePivot(A[k][k])) {
            // Not the largest entry below: the first usable one.
            status = kSolverSingleCoefficient;
            for (int i = k + 1; i <= n; ++i) {
                if (WorthEliminating(A[i][k])) {
                    std::swap(A[i], A[k]);
                    std::swap(Ainv[i], Ainv[k]);
                    status = kSolverDone;
                    break;
                }
            }
            if (status != kSolverDone) return;
        }
        const WorkingFloat pivot = A[k][k];
        DivideRow(A[k], pivot, n);
        DivideRow(Ainv[k], pivot, n);
        for (int i = 1; i <= n; ++i) {
            if (i == k || !WorthEliminating(A[i][k])) continue;
            const WorkingFloat f = -A[i][k] / A[k][k];  // the diagonal is now 1
            AddMultipleOfRow(A[i], f, A[k], n);
            AddMultipleOfRow(Ainv[i], f, Ainv[k], n);
        }
    }
    if (!LeadingBlockFinite(Ainv, n)) status = kSolverNotFinite;
}

}  // namespace tessuvan
