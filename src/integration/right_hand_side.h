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

// What an evaluation of the right-hand side reads and (temporarily) writes: the compiled
// equations and the formula variables they are bound to.
struct RightHandSide {
    const PEquations& equations;
    FormulaVariables& variables;
};

// Integrator(rhs, n, t0, t1, tol, yin, yout, err): integrates the amounts yin (entries 1..n)
// from t0 to t1 with tolerance tol and writes them to yout; err is set to 0 first and then to
// the routine's code. yin is taken by value, so yin and yout may be the same array.
using Integrator = void (*)(const RightHandSide& rhs, int n, WorkingFloat t0, WorkingFloat t1,
                            WorkingFloat tol, AmountVector yin, AmountVector& yout, int16_t& err);

}  // namespace tessuvan
