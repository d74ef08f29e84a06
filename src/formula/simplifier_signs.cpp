// FixSigns: runs of signs and operators normalised in one left-to-right scan.
//
// A sign in an operand position applies to that operand: after "*" or "/" to the factor with
// its chain of exponents (x*-y^z is x·(−(y^z))), after "^" to the one exponent operand
// (x^-y^z is (x^(−y))^z). The compiler accepts neither, so they are rewritten:
//   x*-y  ->  -x*y    the sign moves to the start of the term, since −(x·y) = x·(−y) exactly;
//   x/-y  ->  -x/y    likewise, also when y is tiny: both divisions give the replacement;
//   x^-y  ->  x^(-y).
// A term whose value an earlier guarded division may have replaced (x/y*-z with y near 0
// gives the replacement, a positive number, before the sign is applied) keeps the sign where
// it is, inside parentheses: x/y*(-z). The walk to the start of the term never leaves the
// enclosing group or function argument.
#include "formula/simplifier_internal.h"

#include <cmath>

namespace tessuvan::simplification {

namespace {

// End (exclusive) of the operand after a run of signs starting at p, with its exponent chain
// when withChain; kNone when there is none.
size_t SignedOperandEnd(const TokenText& t, size_t p, bool withChain)
{
    while (p < t.size() && IsSign(t[p])) ++p;
    size_t end = OperandEnd(t, p);
    if (end == kNone || !withChain) return end;
    while (end < t.size() && t[end] == u'^') {
        size_t next = end + 1;
        while (next < t.size() && IsSign(t[next])) ++next;
        next = OperandEnd(t, next);
        if (next == kNone) return kNone;
        end = next;
    }
    return end;
}

// Whether the divisor after the "/" at p can never trigger the division guard: a constant
// (without exponent) whose magnitude is above the threshold.
bool SafeDivisor(const TokenText& t, size_t p, const ConstantTable& table)
{
    WorkingFloat value = 0;
    if (!ConstantAt(t, p + 1, table, value)) return false;
    if (p + 3 < t.size() && t[p + 3] == u'^') return false;
    return std::fabs(value) > ObservationThreshold;
}

// Wraps the signed operand starting at p + 1 (after the operator at p) in parentheses.
// Returns false when the operand's extent cannot be read.
bool WrapSignedOperand(TokenText& t, size_t p, bool withChain)
{
    const size_t end = SignedOperandEnd(t, p + 1, withChain);
    if (end == kNone) return false;
    t.insert(end, 1, u')');
    t.insert(p + 1, 1, u'(');
    return true;
}

// "*-" or "/-" at p: the sign moves to the start of the term, or is wrapped when that could
// change the value. Returns the position where the scan goes on.
size_t MoveSignToTermStart(TokenText& t, size_t p, const ConstantTable& table)
{
    size_t boundary = kNone;  // the term's sign, or the "(" or "," that opens it
    bool guarded = false;
    size_t q = p;
    while (q-- > 0) {
        const char16_t c = t[q];
        if (c == u')') {
            q = OpenOf(t, q);
            if (q == kNone) return p;  // malformed: leave it
            continue;
        }
        if (c == u'(' || c == u',') {
            boundary = q;
            break;
        }
        if (IsSign(c)) {
            if (!StartsTerm(t, q) && q > 0 && t[q - 1] != u'(' && t[q - 1] != u',')
                return p;  // another unary sign comes first: a later scan handles this one
            boundary = q;
            break;
        }
        if (c == u'/' && !SafeDivisor(t, q, table)) guarded = true;
    }
    if (guarded) {
        WrapSignedOperand(t, p, true);
        return p;
    }
    t.erase(p + 1, 1);
    if (boundary != kNone && IsSign(t[boundary])) {
        t[boundary] = t[boundary] == u'+' ? u'-' : u'+';
        return p;
    }
    const size_t at = boundary == kNone ? 0 : boundary + 1;
    t.insert(at, 1, u'-');
    return p + 1;
}

}  // namespace

void FixSigns(TokenText& t, const ConstantTable& table)
{
    for (size_t p = 0; p + 1 < t.size(); ++p) {
        const char16_t c = t[p];
        const char16_t n = t[p + 1];
        switch (c) {
            case u'+':
                if (n == u')' || n == u'+' || n == u'-') t.erase(p, 1);
                else if (n == u'*') t.erase(p + 1, 1);
                break;
            case u'-':
                if (n == u')') t.erase(p, 1);
                else if (n == u'*' || n == u'+') t.erase(p + 1, 1);
                else if (n == u'-') { t[p] = u'+'; t.erase(p + 1, 1); }
                break;
            case u'*':
                if (n == u')' || n == u'*' || n == u'/') t.erase(p, 1);
                else if (n == u'+') t.erase(p + 1, 1);
                else if (n == u'-') p = MoveSignToTermStart(t, p, table);
                break;
            case u'/':
                if (n == u')') t.erase(p, 1);
                else if (n == u'*' || n == u'+' || n == u'/') t.erase(p + 1, 1);
                else if (n == u'-') p = MoveSignToTermStart(t, p, table);
                break;
            case u'(':
                if (n == u'*' || n == u'+') t.erase(p + 1, 1);
                break;
            case u'^':
                if (n == u'+') t.erase(p + 1, 1);
                else if (n == u'-') WrapSignedOperand(t, p, false);
                break;
            default:
                break;
        }
    }
}

}  // namespace tessuvan::simplification
