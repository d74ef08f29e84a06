// Writes a formula tree as engine formula text: names become the engine's variables (F1..F20
// species amounts, A1..A60 adjustable parameters, P1..P30, Q1..Q30, T) and the functions EX(
// and LN(. The engine reads its text by its own rules, so the writer keeps the user's meaning
// with parentheses where those rules differ from ordinary mathematics:
//   - the engine groups powers to the left (a^b^c is (a^b)^c): every compound base or exponent
//     is parenthesised, and a function call as an exponent too;
//   - a minus sign directly before a number belongs to the number (-2^x is (-2)^x): a negated
//     or subtracted operand that starts with a number and is more than that number is
//     parenthesised;
//   - a minus sign is not an operand (a*-b is malformed): a negation that is the operand of
//     any operator is parenthesised;
//   - operands are otherwise grouped as the user grouped them (a*(b*c) stays so).
#pragma once

#include <string>

#include "model/expression.h"

namespace tessuvan::cli {

std::string EngineText(const Node& node);

// The engine's name of a symbol: "F3", "A12", "P1", "Q2" or "T".
std::string EngineName(const Symbol& symbol);

}  // namespace tessuvan::cli
