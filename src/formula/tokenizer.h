// From the host's formula text to token text, and the table of numeric constants (its
// look-ups, InternConstant and ConstantOf among them, are in token_text.h).
//
//   P1*F2/(Q12+F3)-EX(-A2*T)  ->  +Pa*Fb/(Ql+Fc)-EX(-Ab*Ta)
//   P1-2.5                    ->  +Pa+Cx   (entry x of the constant table holds -2.5)
#pragma once

#include <cstdint>

#include "formula/formula_variables.h"
#include "formula/token_text.h"

namespace tessuvan {

// Deletes every blank (U+0020).
void RemoveSpaces(TokenText& text);

// 0 when text (blanks removed) is a formula of the language, else 1: a stray or missing
// parenthesis, an empty group, an unknown character, two operands in a row, an operator with
// nothing after it (a single trailing operator at the end of the text or of a group is
// tolerated, and ignored by the compiler), or nesting deeper than the engine supports.
int CheckFormulaSyntax(const TokenText& text);

// Rewrites text in place into token text and sets errors to the number of problems found:
// a malformed literal (its error position), a literal that is not a finite number, a missing
// index, an index outside its array, a full constant table, or a syntax error. An empty text
// is one error.
void TokenizeFormula(TokenText& text, int16_t& errors, ConstantTable& table);

}  // namespace tessuvan
