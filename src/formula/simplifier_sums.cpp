// FoldSums: the constant terms of one level of a sum are added into the first of them.
//
//   +C2+Pa-C3  ->  +C-1+Pa        (2 + a) - 3  =  -1 + a  up to rounding
//
// Only terms that are a constant and nothing else take part, at the text's own level: a
// constant inside a group, or one multiplied by anything, is not a term of this sum. A
// constant term of 0 is dropped when other terms remain (x + 0 = x). The sum is interned once,
// so no intermediate value takes a place in the constant table.
#include "formula/simplifier_internal.h"

#include <cmath>

namespace tessuvan::simplification {

namespace {

struct ConstantTerm {
    size_t sign;        // position of the term's sign
    WorkingFloat value;  // the constant, without the sign
};

// Position of the next term boundary (a term-starting sign or ",") after p at this level, or
// the text's end.
size_t NextBoundary(const TokenText& t, size_t p)
{
    for (size_t i = p + 1; i < t.size(); ++i) {
        if (t[i] == u'(') {
            const size_t close = CloseOf(t, i);
            if (close == kNone) return t.size();
            i = close;
            continue;
        }
        if (t[i] == u',' || StartsTerm(t, i)) return i;
    }
    return t.size();
}

}  // namespace

void FoldSums(TokenText& t, Context& context)
{
    // Terms up to the first "," (never part of a formula the compiler accepts).
    std::vector<ConstantTerm> constants;
    size_t otherTerms = 0;
    size_t start = 0;
    while (start < t.size() && t[start] != u',') {
        const size_t end = NextBoundary(t, start);
        WorkingFloat value = 0;
        if (IsSign(t[start]) && end == start + 3 && ConstantAt(t, start + 1, context.table, value))
            constants.push_back({start, value});
        else
            ++otherTerms;
        start = end;
    }
    if (constants.empty()) return;

    const bool negativeFirst = t[constants[0].sign] == u'-';
    WorkingFloat sum = constants[0].value;
    for (size_t k = 1; k < constants.size(); ++k) {
        const bool negative = t[constants[k].sign] == u'-';
        sum = negative == negativeFirst ? sum + constants[k].value : sum - constants[k].value;
    }
    if (!std::isfinite(sum)) return;
    const bool dropAll = sum == 0 && otherTerms > 0;
    // The folded term keeps a constant of positive magnitude: -(−1) is written +1.
    const bool flip = sum < 0;
    TokenText token;
    if (!dropAll && constants.size() > 1) {
        token = InternConstant(flip ? -sum : sum, context.table);
        if (token.empty()) return;  // the table is full: leave the sum as it is
    }
    // Delete from the right so that earlier positions stay valid.
    for (size_t k = constants.size(); k-- > 1;) t.erase(constants[k].sign, 3);
    if (dropAll) {
        t.erase(constants[0].sign, 3);
        if (!t.empty() && !IsSign(t[0])) t.insert(t.begin(), u'+');
    } else if (!token.empty()) {
        t.replace(constants[0].sign + 1, 2, token);
        if (flip) t[constants[0].sign] = negativeFirst ? u'+' : u'-';
    }
}

}  // namespace tessuvan::simplification
