// StripParens: parentheses that the compiler does not need are removed, which saves the
// sub-formula step and the step on its result.
//
// Removed:
//   a group of one factor, (x) or (x^y), anywhere except (x^y) as an exponent: powers group to
//     the left, so a^(x^y) must keep its parentheses, and a bare function call is not
//     accepted as an exponent;
//   a product or quotient that is neither a base nor an exponent: a*(x*y/z) -> a*x*y/z, and
//     as a divisor with its operators swapped, a/(x*y/z) -> a/x/y*z (only the group's own
//     operators: nested groups are values of their own, and exponents are untouched);
//   a signed factor or product that opens a term, -(-x*y) -> --x*y, which FixSigns settles;
//   a sum that is a whole term, a+(x-y)+b -> a+x-y+b, and a-(x-y) -> a-x+y with the signs of
//     its later terms turned (the first takes the sign in front of the group).
// Function arguments always keep their parentheses.
#include "formula/simplifier_internal.h"

namespace tessuvan::simplification {

namespace {

enum class GroupKind { kSingleFactor, kProduct, kSignedProduct, kSum, kOther };

struct GroupShape {
    GroupKind kind = GroupKind::kOther;
    bool power = false;            // the single factor has an exponent chain
    bool function = false;         // the single factor's operand is a function call
    std::vector<size_t> operators; // top-level "*" and "/" of a product
    std::vector<size_t> termSigns; // top-level signs that open the second and later terms
};

// Reads the inside of the group, positions begin .. end - 1, at its top level.
GroupShape Analyze(const TokenText& t, size_t begin, size_t end)
{
    GroupShape g;
    size_t p = begin;
    const bool signedGroup = IsSign(t[p]);
    if (signedGroup) ++p;
    int factors = 0;
    bool anyPower = false;
    bool firstFunction = false;
    for (;;) {
        if (p >= end) return g;
        const size_t operandEnd = OperandEnd(t, p);
        if (operandEnd == kNone || operandEnd > end) return g;
        if (factors == 0) firstFunction = IsFunctionAt(t, p);
        p = operandEnd;
        while (p < end && t[p] == u'^') {
            if (p + 1 >= end || IsFunctionAt(t, p + 1)) return g;
            const size_t exponentEnd = OperandEnd(t, p + 1);
            if (exponentEnd == kNone || exponentEnd > end) return g;
            anyPower = true;
            p = exponentEnd;
        }
        ++factors;
        if (p == end) break;
        if (IsSign(t[p])) {
            if (p + 1 < end && IsSign(t[p + 1])) return g;  // a sign run: FixSigns first
            g.termSigns.push_back(p);
        } else if (t[p] == u'*' || t[p] == u'/') {
            g.operators.push_back(p);
        } else {
            return g;
        }
        ++p;
    }
    if (!g.termSigns.empty()) {
        g.kind = GroupKind::kSum;
    } else if (signedGroup) {
        g.kind = GroupKind::kSignedProduct;
    } else if (factors == 1) {
        g.kind = GroupKind::kSingleFactor;
        g.power = anyPower;
        g.function = firstFunction;
    } else {
        g.kind = GroupKind::kProduct;
    }
    return g;
}

// Whether the group at o .. c may lose its parentheses; swaps a divisor group's operators.
// The operator that governs the group is the one before it, or the one before a unary sign
// in front of it (x/-(y*z), x^-(y)): the sign then stays with the group's first operand.
bool Strippable(TokenText& t, size_t o, size_t c)
{
    const GroupShape g = Analyze(t, o + 1, c);
    char16_t governing = o > 0 ? t[o - 1] : u'+';
    bool termSign = IsSign(governing);
    if (IsSign(governing) && o >= 2) {
        const char16_t earlier = t[o - 2];
        if (IsSign(earlier)) return false;  // a sign run: FixSigns settles it first
        if (earlier == u'*' || earlier == u'/' || earlier == u'^') {
            governing = earlier;
            termSign = false;
        }
    }
    const char16_t after = c + 1 < t.size() ? t[c + 1] : u'\0';
    const bool exponent = governing == u'^';
    const bool base = after == u'^';
    const bool operandPosition = IsSign(governing) || governing == u'*' || governing == u'/' ||
                                 governing == u'(' || governing == u'^';
    if (!operandPosition) return false;
    switch (g.kind) {
        case GroupKind::kSingleFactor:
            return !exponent || (!g.power && !g.function);
        case GroupKind::kProduct:
            if (exponent || base) return false;
            if (governing == u'/')
                for (size_t p : g.operators) t[p] = t[p] == u'*' ? u'/' : u'*';
            return true;
        case GroupKind::kSignedProduct:
            return termSign && !base;
        case GroupKind::kSum:
            if (!(termSign || governing == u'(') ||
                !(after == u'\0' || IsSign(after) || after == u')' || after == u','))
                return false;
            if (governing == u'-')
                for (size_t p : g.termSigns) t[p] = t[p] == u'+' ? u'-' : u'+';
            return true;
        case GroupKind::kOther:
            return false;
    }
    return false;
}

}  // namespace

void StripParens(TokenText& t)
{
    size_t p = 0;
    while (p + 1 < t.size()) {
        if (t[p] != u'(' || IsFunctionParen(t, p)) {
            ++p;
            continue;
        }
        const size_t c = CloseOf(t, p);
        if (c == kNone) return;
        if (c > p + 1 && Strippable(t, p, c)) {
            t.erase(c, 1);
            t.erase(p, 1);
            continue;  // the former inside now starts at p
        }
        ++p;
    }
}

}  // namespace tessuvan::simplification
