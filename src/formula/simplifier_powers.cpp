// CombinePowers: repeated factors of one variable in a term become one power.
//
//   x^a * x^b = x^(a+b),   x^a / x^b = x^(a-b),   a bare x is x^1
//
// so +Pa*Pb/Pa becomes +Pb (the exponents sum to 0 and the factor is 1), and +Pa*Pa*Pa
// becomes +Pa^C3. The first occurrence takes the merged power and becomes a multiplier; the
// others go with their operators. Only an occurrence whose exponent, if any, is one token or
// one group and ends its chain takes part (x^2^3 is (x^2)^3, not x^(2+3)). The exponent sum is
// simplified on its own; a merge is kept only when it needs fewer compiled steps, or as many
// with a shorter text, so x*x stays (x^2 needs a load, a power and the operator: one step
// more).
#include "formula/simplifier_internal.h"

#include <cmath>

namespace tessuvan::simplification {

namespace {

// Whether factor f is a variable with at most one exponent (a token or a group).
bool Mergeable(const TokenText& term, const Factor& f)
{
    return f.operandEnd == f.begin + 2 && IsVariableKind(term[f.begin]) && f.exponents <= 1;
}

// The term with the occurrences merged: the first occurrence becomes power (a multiplier),
// the others are deleted with their operators.
TokenText Rewritten(const TokenText& term, const std::vector<Factor>& factors,
                    const std::vector<size_t>& occurrences, const TokenText& power)
{
    TokenText out = term;
    for (size_t k = occurrences.size(); k-- > 1;) {
        const Factor& f = factors[occurrences[k]];
        out.erase(f.op, f.end - f.op);
    }
    const Factor& first = factors[occurrences[0]];
    out.replace(first.begin, first.end - first.begin, power);
    if (first.op != kNone) out[first.op] = u'*';
    return out;
}

bool Better(const TokenText& candidate, const TokenText& term)
{
    const int before = TextCost(term);
    const int after = TextCost(candidate);
    return after < before || (after == before && candidate.size() < term.size());
}

// Tries to merge the occurrences of the variable of factor i; true when the term changed.
bool MergeVariable(TokenText& term, const std::vector<Factor>& factors, size_t i,
                   Context& context, int depth)
{
    const TokenText variable = term.substr(factors[i].begin, 2);
    std::vector<size_t> occurrences;
    for (size_t j = i; j < factors.size(); ++j)
        if (Mergeable(term, factors[j]) && term.compare(factors[j].begin, 2, variable) == 0)
            occurrences.push_back(j);
    if (occurrences.size() < 2) return false;

    // The exponents: constants are summed as numbers, anything else is kept as text.
    WorkingFloat constantPart = 0;
    TokenText textPart;
    for (size_t j : occurrences) {
        const Factor& f = factors[j];
        const bool negative = f.Divisor(term);
        WorkingFloat v = 1;
        if (f.exponents == 1 && !ConstantAt(term, f.operandEnd + 1, context.table, v)) {
            textPart += negative ? u'-' : u'+';
            textPart += term.substr(f.operandEnd + 1, f.end - f.operandEnd - 1);
            continue;
        }
        constantPart = negative ? constantPart - v : constantPart + v;
    }
    if (!std::isfinite(constantPart)) return false;

    TokenText power;
    if (textPart.empty()) {
        // x^0 is the factor 1, x^1 is x, anything else x^C(sum). The cost is judged with a
        // stand-in token so that a merge that is not kept takes no place in the table.
        const TokenText standIn = u"Ca";
        power = constantPart == 0   ? standIn
                : constantPart == 1 ? variable
                                    : variable + u'^' + standIn;
        if (!Better(Rewritten(term, factors, occurrences, power), term)) return false;
        if (constantPart != 1) {
            const WorkingFloat value = constantPart == 0 ? 1 : constantPart;
            const TokenText token = InternConstant(value, context.table);
            if (token.empty()) return false;
            power = constantPart == 0 ? token : variable + u'^' + token;
        }
    } else {
        TokenText exponent;
        if (constantPart != 0) {
            const TokenText token = InternConstant(constantPart, context.table);
            if (token.empty()) return false;
            exponent = u'+' + token;
        }
        exponent += textPart;
        SimplifyText(exponent, context, depth + 1);
        if (exponent.size() == 3 && exponent[0] == u'+' && IsOperandKind(exponent[1]))
            power = variable + u'^' + exponent.substr(1);
        else
            power = variable + u"^(" + (exponent[0] == u'+' ? exponent.substr(1) : exponent) + u')';
        if (!Better(Rewritten(term, factors, occurrences, power), term)) return false;
    }
    term = Rewritten(term, factors, occurrences, power);
    return true;
}

}  // namespace

void CombinePowers(TokenText& term, Context& context, int depth)
{
    TermShape shape;
    if (!shape.Parse(term)) return;
    for (size_t i = 0; i < shape.factors.size(); ++i) {
        if (!Mergeable(term, shape.factors[i])) continue;
        if (MergeVariable(term, shape.factors, i, context, depth) && !shape.Parse(term)) return;
    }
}

}  // namespace tessuvan::simplification
