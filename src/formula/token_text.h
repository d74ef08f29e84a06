// How token text is written, in one place for the tokenizer, the simplifier and the compiler:
// the encoding of operand tokens, the classes of characters and the look-ups of C tokens in
// the constant table.
//
// An operand token is two code units, a kind letter and an index unit of code 96 + index:
//   P1 -> Pa,  P12 -> Pl,  C3 -> Cc,  T -> Ta (the time carries index 1, never read)
// An index unit is a code above 96 (here any lower-case letter such as "e" or "l"), never an
// upper-case letter, operator or parenthesis, so a walk that only looks for those is safe.
#pragma once

#include "formula/formula_variables.h"

namespace tessuvan {

// The encoding of operand tokens.

inline constexpr int kIndexUnitBase = 96;  // the index unit of index k has code 96 + k

inline char16_t IndexUnit(int index) { return static_cast<char16_t>(kIndexUnitBase + index); }
inline int IndexOfUnit(char16_t unit) { return static_cast<int>(unit) - kIndexUnitBase; }
inline TokenText OperandToken(char16_t kind, int index) { return TokenText{kind, IndexUnit(index)}; }

// Whether c may be the index unit of a token the simplifier reads: above 96 and within one
// byte (indices 1 to 159, more than any kind holds).
inline bool IsIndexUnitCode(char16_t c) { return c > kIndexUnitBase && c <= 255; }

// Number of entries an index of each kind may address (A, C, F, P, Q); 0 for other letters.
inline int IndexCapacity(char16_t kind)
{
    switch (kind) {
        case u'A': return kMaxAdjustables;
        case u'C': return kConstantCapacity;
        case u'F': return kMaxSpecies;
        case u'P': return kMaxPParameters;
        case u'Q': return kMaxQParameters;
        default: return 0;
    }
}

// The classes of characters.

inline bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline bool IsSign(char16_t c) { return c == u'+' || c == u'-'; }
inline bool IsOperator(char16_t c) { return IsSign(c) || c == u'*' || c == u'/' || c == u'^'; }
// A digit or "." begins a numeric literal of the host's text.
inline bool IsLiteralStart(char16_t c) { return IsDigit(c) || c == u'.'; }
inline char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

// The kinds that take an index: a decimal one in the host's text, one index unit in tokens.
inline bool IsIndexedKind(char16_t c)
{
    return c == u'A' || c == u'C' || c == u'F' || c == u'P' || c == u'Q';
}
// The letters that begin a two-unit operand token of token text.
inline bool IsOperandKind(char16_t c) { return IsIndexedKind(c) || c == u'T'; }
// The operand kinds that name a variable cell rather than a constant.
inline bool IsVariableKind(char16_t c) { return IsOperandKind(c) && c != u'C'; }

// The first letter of a function call, EX(...) or LN(...), in either case.
inline bool IsFunctionLetter(char16_t c) { return c == u'E' || c == u'e' || c == u'L' || c == u'l'; }
// Whether three units are a function head "EX(" or "LN(", the letters in any case.
inline bool IsFunctionHead(char16_t first, char16_t second, char16_t third)
{
    const char16_t head = Upper(first), next = Upper(second);
    return third == u'(' && ((head == u'E' && next == u'X') || (head == u'L' && next == u'N'));
}

// The look-ups of C tokens. An entry is in use when its index is below ConstantCount.

// Index of the first entry in use that equals value (a NaN equals none), else ConstantCount.
inline int FindConstant(WorkingFloat value, const ConstantTable& table)
{
    int i = 1;
    while (i < table.ConstantCount && !(table.entry[i] == value)) ++i;
    return i;
}

// The C token of value, appending it to the table if no entry equals it. Returns an empty text
// when the table already holds kConstantCapacity constants and value is not among them.
inline TokenText InternConstant(WorkingFloat value, ConstantTable& table)
{
    const int i = FindConstant(value, table);
    if (i > kConstantCapacity) return TokenText();
    table.entry[i] = value;  // also over an equal entry: 0 and -0 are equal
    if (i == table.ConstantCount) {
        table.ConstantCount += 1;
        table.entry[table.ConstantCount] = 0;
    }
    return OperandToken(u'C', i);
}

// The C token of value when the table already holds it (the table is not changed), else an
// empty text.
inline TokenText ExistingConstant(WorkingFloat value, const ConstantTable& table)
{
    const int i = FindConstant(value, table);
    return i < table.ConstantCount && i <= kConstantCapacity ? OperandToken(u'C', i) : TokenText();
}

// The table entry a C token names (its second unit minus 96), also the zero entry just past
// those in use. Out-of-range tokens give 0.
inline WorkingFloat ConstantOf(const TokenText& token, const ConstantTable& table)
{
    if (token.size() < 2) return 0;
    const int k = IndexOfUnit(token[1]);
    if (k < 1 || k > kConstantCapacity + 1) return 0;
    return table.entry[k];
}

// The value of the C token at position p of t, when p holds one naming an entry in use.
inline bool ConstantAt(const TokenText& t, size_t p, const ConstantTable& table, WorkingFloat& value)
{
    if (p + 1 >= t.size() || t[p] != u'C') return false;
    const int k = IndexOfUnit(t[p + 1]);
    if (k < 1 || k >= table.ConstantCount || k > kConstantCapacity) return false;
    value = table.entry[k];
    return true;
}

}  // namespace tessuvan
