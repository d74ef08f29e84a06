// The constant factors of one term: FoldProducts, DropOnes, DropZeros.
//
// A term is read as sign, factor, operator, factor, ... (TermShape); a factor is an operand
// with its chain of exponents. The passes only touch factors that are constants without
// exponent, except that a chain ending in ^1 loses it and a chain ending in ^0 is the factor 1.
#include "formula/simplifier_internal.h"

#include <cmath>

namespace tessuvan::simplification {

namespace {

// The value of a factor that is a constant without exponent.
bool PlainConstant(const TokenText& term, const Factor& f, const ConstantTable& table,
                   WorkingFloat& value)
{
    return f.exponents == 0 && f.operandEnd == f.begin + 2 &&
           ConstantAt(term, f.begin, table, value);
}

// Deletes factor k of the term with the operator that joins it to the others. The first
// factor takes the operator after it along only when that is "*"; before a "/" it becomes
// the constant one instead (1/x), which one must already be a token in the text's table.
void DeleteFactor(TokenText& term, const std::vector<Factor>& factors, size_t k,
                  const TokenText& one)
{
    const Factor& f = factors[k];
    if (k > 0) {
        term.erase(f.op, f.end - f.op);
        return;
    }
    if (factors.size() > 1 && term[factors[1].op] == u'*') {
        term.erase(f.begin, factors[1].op + 1 - f.begin);
        return;
    }
    term.replace(f.begin, f.end - f.begin, one);
}

}  // namespace

// Constant factors that follow each other (only variables, groups, "*" and "/" between them)
// are multiplied into the first one:
//   +C2*C3*Pa -> +C6*Pa,   +C6/C3*Pa -> +C2*Pa,   +Pa/C2*C3 -> +Pa/C(2/3)
// A constant that is itself a divisor folds the others inversely. The last factor of a term
// is never folded (+C2*C3 stays). A fold that would divide by a constant the evaluator
// replaces (magnitude not above 1e-130), or that overflows or underflows, is not done.
void FoldProducts(TokenText& term, Context& context)
{
    TermShape shape;
    if (!shape.Parse(term)) return;
    auto& factors = shape.factors;
    WorkingFloat value = 0;

    // -Cv*... becomes +C(-v)*... when the table already holds -v.
    if (term[0] == u'-' && PlainConstant(term, factors[0], context.table, value)) {
        const TokenText negated = ExistingConstant(-value, context.table);
        if (!negated.empty()) {
            term[0] = u'+';
            term.replace(factors[0].begin, 2, negated);
        }
    }

    for (size_t i = 0; i + 1 < factors.size(); ++i) {
        WorkingFloat first = 0;
        if (!PlainConstant(term, factors[i], context.table, first)) continue;
        const bool firstDivides = factors[i].Divisor(term);
        if (firstDivides && std::fabs(first) <= ObservationThreshold) continue;
        WorkingFloat folded = first;
        std::vector<size_t> partners;
        for (size_t j = i + 1; j + 1 < factors.size(); ++j) {
            const Factor& f = factors[j];
            if (f.exponents > 0 || f.function) break;
            WorkingFloat v = 0;
            if (!PlainConstant(term, f, context.table, v)) continue;
            const bool quotient = f.Divisor(term) != firstDivides;
            if (f.Divisor(term) && std::fabs(v) <= ObservationThreshold) break;
            const WorkingFloat next = quotient ? folded / v : folded * v;
            if (!std::isfinite(next) || (next == 0 && folded != 0 && v != 0)) break;
            if (firstDivides && std::fabs(next) <= ObservationThreshold) break;
            folded = next;
            partners.push_back(j);
        }
        if (partners.empty()) continue;
        const TokenText token = InternConstant(folded, context.table);
        if (token.empty()) return;
        for (size_t k = partners.size(); k-- > 0;) {
            const Factor& f = factors[partners[k]];
            term.erase(f.op, f.end - f.op);
        }
        term.replace(factors[i].begin, 2, token);
        if (!shape.Parse(term)) return;
    }
}

// Factors and exponents equal to one go: +C1*Pa -> +Pa, +Pa*C1 -> +Pa, +Pa/C1*Pb -> +Pa*Pb,
// +Pa^C1 -> +Pa, +C1^Pa-Pb: the factor 1^a is one, so the term is +C1 (never -Pb).
void DropOnes(TokenText& term, Context& context)
{
    TermShape shape;
    for (int guard = 0; guard < 1000 && shape.Parse(term); ++guard) {
        const auto& factors = shape.factors;
        bool changed = false;
        // x^...^1: the last exponent of the chain is 1.
        for (const Factor& f : factors) {
            WorkingFloat v = 0;
            if (f.exponents > 0 && f.end >= 3 && term[f.end - 3] == u'^' &&
                ConstantAt(term, f.end - 2, context.table, v) && v == 1) {
                term.erase(f.end - 3, 3);
                changed = true;
                break;
            }
        }
        if (changed) continue;
        for (size_t k = 0; k < factors.size(); ++k) {
            const Factor& f = factors[k];
            WorkingFloat v = 0;
            if (f.operandEnd != f.begin + 2 || !ConstantAt(term, f.begin, context.table, v) ||
                v != 1)
                continue;
            const TokenText one = term.substr(f.begin, 2);
            if (factors.size() == 1) {
                if (f.exponents == 0) continue;
                term.replace(f.begin, f.end - f.begin, one);  // 1^x is 1
            } else if (k == 0 && term[factors[1].op] == u'/' && f.exponents == 0) {
                continue;  // 1/x stays
            } else {
                DeleteFactor(term, factors, k, one);
            }
            changed = true;
            break;
        }
        if (!changed) return;
    }
}

// A term with a factor 0 (not a divisor, without exponent) is 0: +Pa*C0*Pb -> +C0; the sum
// pass then drops it. A factor whose exponent chain ends in ^0 is 1 (Power gives 1 for a zero
// exponent whatever the base): +Pa^C0*Pb -> +C1*Pb, and DropOnes takes it from there.
void DropZeros(TokenText& term, Context& context)
{
    TermShape shape;
    if (!shape.Parse(term)) return;
    const auto& factors = shape.factors;
    for (const Factor& f : factors) {
        WorkingFloat v = 0;
        // A constant divisor the evaluator replaces makes the term the replacement, not 0.
        if (f.Divisor(term) && PlainConstant(term, f, context.table, v) &&
            std::fabs(v) <= ObservationThreshold)
            return;
    }
    for (const Factor& f : factors) {
        WorkingFloat v = 0;
        if (!f.Divisor(term) && PlainConstant(term, f, context.table, v) && v == 0) {
            if (factors.size() > 1) term = term.substr(0, 1) + term.substr(f.begin, 2);
            return;
        }
    }
    for (const Factor& f : factors) {
        WorkingFloat v = 0;
        if (f.exponents > 0 && f.end >= 3 && term[f.end - 3] == u'^' &&
            ConstantAt(term, f.end - 2, context.table, v) && v == 0) {
            const TokenText one = InternConstant(1, context.table);
            if (one.empty()) return;
            term.replace(f.begin, f.end - f.begin, one);
            return;
        }
    }
}

}  // namespace tessuvan::simplification
