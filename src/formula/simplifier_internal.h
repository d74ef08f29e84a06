// Shared by the simplifier's passes: how token text is read as units, terms and factors, and
// the passes themselves. Private to src/formula.
//
// Token text is read as units, never character by character: an operand token is two code
// units (token_text.h), a function head is "EX(" or "LN(" in any case, and every other unit
// is one character.
#pragma once

#include <cstddef>
#include <vector>

#include "formula/formula_variables.h"
#include "formula/token_text.h"

namespace tessuvan::simplification {

inline constexpr size_t kNone = static_cast<size_t>(-1);

// Work limits that make every call terminate quickly whatever the text: iterations of the
// driver per text, nesting of recursive calls, and driver iterations per top-level call.
inline constexpr int kMaxIterations = 40;
inline constexpr int kMaxDepth = 60;
inline constexpr long kIterationBudget = 20000;

struct Context {
    ConstantTable& table;
    long budget = kIterationBudget;  // driver iterations left for this top-level call
};

// Whether a function head "EX(" or "LN(" (any case) starts at p, p being a unit start.
bool IsFunctionAt(const TokenText& t, size_t p);
// Whether the "(" at p opens the argument of a function call.
bool IsFunctionParen(const TokenText& t, size_t p);
// Position of the ")" closing the "(" at p, or kNone.
size_t CloseOf(const TokenText& t, size_t p);
// Position of the "(" opened by the ")" at p, or kNone.
size_t OpenOf(const TokenText& t, size_t p);
// End (exclusive) of the operand unit at p: a token, a non-empty group or a function call;
// kNone when no operand starts there.
size_t OperandEnd(const TokenText& t, size_t p);

// Compiled steps the text needs, nested records included: one per operand token, one per
// "^", two per group (the sub-formula and the operator on its result) and three per function
// call (sub-formula, function, operator).
int TextCost(const TokenText& t);

// One factor of a term: an operand unit followed by a chain of exponents ("^" operand).
struct Factor {
    size_t op = kNone;       // position of the "*" or "/" before it (kNone for the first)
    size_t begin = 0;        // first unit of its operand
    size_t operandEnd = 0;   // end (exclusive) of the operand
    size_t end = 0;          // end (exclusive) of the factor, exponents included
    int exponents = 0;       // number of "^" in the chain
    bool function = false;   // the operand is a function call
    bool Divisor(const TokenText& t) const { return op != kNone && t[op] == u'/'; }
};

// A term read as sign, factor, operator, factor, ... When the term does not have that shape
// (a sign run, an operator without operand, an unknown unit) Parse returns false and the term
// passes leave it alone.
struct TermShape {
    std::vector<Factor> factors;
    bool Parse(const TokenText& term);
};

// Whether the top-level "+" or "-" at p starts a new term (rather than being a unary sign in
// an operand position, as in "*-").
bool StartsTerm(const TokenText& t, size_t p);

// The passes. Each rewrites text in place and keeps its value (up to rounding where constants
// are folded or factors reassociated); each pass only changes the shapes it recognises.
void FixSigns(TokenText& text, const ConstantTable& table);
void StripParens(TokenText& text);
void FoldSums(TokenText& text, Context& context);
void FoldProducts(TokenText& term, Context& context);
void CombinePowers(TokenText& term, Context& context, int depth);
void DropOnes(TokenText& term, Context& context);
void DropZeros(TokenText& term, Context& context);

// The driver without the final check; depth counts recursive calls.
void SimplifyText(TokenText& text, Context& context, int depth);

// Whether simplified may replace original: when original compiles, simplified must compile,
// need no more steps and agree with it at several variable settings up to rounding.
bool KeepsMeaning(const TokenText& original, const TokenText& simplified,
                  const ConstantTable& table);

}  // namespace tessuvan::simplification
