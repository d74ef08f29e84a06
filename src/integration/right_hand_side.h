// The model's right-hand side dx/dt = A(t,x)·x + F(t,x), evaluated through compiled formulas,
// the small vector and matrix helpers all methods share, and the contract of an integration
// routine (Integrator), the one type through which the drivers call the chosen method.
#pragma once

#include <array>
#include <cstdint>

#include "formula/compiled_formula.h"
#include "formula/formula_variables.h"

namespace tessuvan {

// Row-major, 1-based: entry [i][j] is the coefficient of amount j in the rate of species i.
// Only the leading n-by-n block is read or written.
using ModelMatrix = std::array<AmountVector, kMaxSpecies + 1>;

// The equations of the model (species s, e = 1..20): texts and compiled forms. An absent
// (null or uncompiled) formula stands for 0.
struct PEquations {
    TokenText TextAM[kMaxSpecies + 1][kMaxSpecies + 1];
    TokenText TextFM[kMaxSpecies + 1];
    compilptr AM[kMaxSpecies + 1][kMaxSpecies + 1] = {};
    compilptr FM[kMaxSpecies + 1] = {};
};

class RightHandSidePlan;

// What an evaluation of the right-hand side reads and (temporarily) writes: the compiled
// equations and the formula variables they are bound to.
struct RightHandSide {
    const PEquations& equations;
    FormulaVariables& variables;
    // With a plan that serves n (right_hand_side_plan.h), EvaluateFM, EvaluateAM and
    // ModelDerivative go through it: the same values to the last bit, found faster.
    RightHandSidePlan* plan = nullptr;
};

// Evaluation protocol shared by EvaluateFM and EvaluateAM: save CurrentTime and
// SpeciesAmounts[1..20], write t and x[1..20] into them (all twenty, so a formula reading a
// species beyond n sees the caller's x), evaluate, restore. The formula variables are left
// exactly as they were found. n is 0..20.

// F[i] := FM[i](t, x) for i = 1..n; 0 where FM[i] is absent. F[n+1..20] are not written.
void EvaluateFM(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, AmountVector& F);
// A[i][j] := AM[i][j](t, x) for i = 1..n, j = 1..n (row by row); 0 where absent.
void EvaluateAM(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, ModelMatrix& A);

// y[i] := M[i][1]·x[1] + M[i][2]·x[2] + ... + M[i][n]·x[n], summed left to right, i = 1..n.
void MatrixTimesVector(int n, const ModelMatrix& M, AmountVector x, AmountVector& y);
// y[i] := (M·x)[i] + F[i], i = 1..n, the product formed by MatrixTimesVector.
void MatrixTimesVectorPlus(int n, AmountVector x, AmountVector F, const ModelMatrix& M, AmountVector& y);

// dx[i] := f(t, x)[i] = (A(t, x)·x)[i] + F(t, x)[i] for i = 1..n: EvaluateFM, EvaluateAM,
// then MatrixTimesVectorPlus. One call costs n + n² formula evaluations.
void ModelDerivative(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, AmountVector& dx);

// Integrator(rhs, n, t0, t1, tol, yin, yout, err): integrates the amounts yin (entries 1..n)
// from t0 to t1 with tolerance tol and writes them to yout; err is set to 0 first and then to
// the routine's code. yin is taken by value, so yin and yout may be the same array.
using IntegrationRoutine = void(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1,
                                WorkingFloat tol, AmountVector yin, AmountVector& yout, int16_t& err);
using Integrator = IntegrationRoutine*;

}  // namespace tessuvan
