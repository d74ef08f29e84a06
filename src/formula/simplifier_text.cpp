// Reading token text as units, terms and factors (see simplifier_internal.h).
#include "formula/simplifier_internal.h"

namespace tessuvan::simplification {

namespace {

// Whether the unit at p is the index unit of an operand token.
inline bool IsIndexUnit(const TokenText& t, size_t p) { return p > 0 && IsOperandKind(t[p - 1]); }

}  // namespace

bool IsFunctionAt(const TokenText& t, size_t p)
{
    return p + 2 < t.size() && IsFunctionHead(t[p], t[p + 1], t[p + 2]);
}

bool IsFunctionParen(const TokenText& t, size_t p)
{
    return p >= 2 && !IsIndexUnit(t, p - 2) && IsFunctionAt(t, p - 2);
}

size_t CloseOf(const TokenText& t, size_t p)
{
    if (p >= t.size() || t[p] != u'(') return kNone;
    int depth = 0;
    for (size_t i = p; i < t.size(); ++i) {
        if (t[i] == u'(') ++depth;
        if (t[i] == u')' && --depth == 0) return i;
    }
    return kNone;
}

size_t OpenOf(const TokenText& t, size_t p)
{
    if (p >= t.size() || t[p] != u')') return kNone;
    int depth = 0;
    for (size_t i = p + 1; i-- > 0;) {
        if (t[i] == u')') ++depth;
        if (t[i] == u'(' && --depth == 0) return i;
    }
    return kNone;
}

size_t OperandEnd(const TokenText& t, size_t p)
{
    if (p >= t.size()) return kNone;
    if (IsOperandKind(t[p])) return p + 2 <= t.size() ? p + 2 : kNone;
    size_t open = p;
    if (IsFunctionAt(t, p)) open = p + 2;
    if (t[open] != u'(') return kNone;
    const size_t close = CloseOf(t, open);
    if (close == kNone || close == open + 1) return kNone;  // unbalanced or empty group
    return close + 1;
}

int TextCost(const TokenText& t)
{
    int cost = 0;
    size_t p = 0;
    while (p < t.size()) {
        const char16_t c = t[p];
        if (IsOperandKind(c)) {
            cost += 1;
            p += 2;
            continue;
        }
        if (c == u'^') cost += 1;
        if (c == u'(') cost += IsFunctionParen(t, p) ? 3 : 2;
        ++p;
    }
    return cost;
}

bool TermShape::Parse(const TokenText& term)
{
    factors.clear();
    if (term.size() < 3 || !IsSign(term[0])) return false;
    size_t p = 1;
    size_t op = kNone;
    for (;;) {
        Factor f;
        f.op = op;
        f.begin = p;
        f.operandEnd = OperandEnd(term, p);
        if (f.operandEnd == kNone) return false;
        f.function = IsFunctionAt(term, p);
        p = f.operandEnd;
        while (p < term.size() && term[p] == u'^') {
            // An exponent is a token or a group; a bare function call there is not compiled.
            if (p + 1 >= term.size() || IsFunctionAt(term, p + 1)) return false;
            const size_t end = OperandEnd(term, p + 1);
            if (end == kNone) return false;
            f.exponents += 1;
            p = end;
        }
        f.end = p;
        factors.push_back(f);
        if (p == term.size()) return true;
        if (term[p] != u'*' && term[p] != u'/') return false;
        op = p;
        ++p;
    }
}

bool StartsTerm(const TokenText& t, size_t p)
{
    if (p >= t.size() || !IsSign(t[p])) return false;
    if (p == 0) return true;
    const char16_t before = t[p - 1];
    return !(IsOperator(before) || before == u'(' || before == u',');
}

}  // namespace tessuvan::simplification
