// The formula simplifier: rewrites token text into an equivalent, shorter token text before it
// is compiled (constant folding, repeated factors merged into powers, factors and exponents of
// 1 removed, needless parentheses removed, sign runs normalised). It never changes what the
// formula evaluates to and never makes it need more steps.
#pragma once

#include "formula/formula_variables.h"

namespace tessuvan {

// Rewrites text in place; folded constants are interned into table.
void SimplifyFormula(TokenText& text, ConstantTable& table);

}  // namespace tessuvan
