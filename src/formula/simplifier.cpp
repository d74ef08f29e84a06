// The simplifier's driver: whole-text passes, then the term loop, repeated until an iteration
// leaves the text unchanged (at most kMaxIterations times); every group and function argument
// is simplified on its own by a recursive call. The result is then checked against the
// original (see KeepsMeaning) and kept only when it evaluates alike and needs no more steps.
#include "formula/simplifier.h"

#include "formula/simplifier_internal.h"
#include "formula/tokenizer.h"

namespace tessuvan {

namespace simplification {

namespace {

// Whether the text is something the passes can read: balanced parentheses and only the units
// of token text. Anything else is left for the compiler to report.
bool Readable(const TokenText& t)
{
    int depth = 0;
    for (size_t p = 0; p < t.size(); ++p) {
        const char16_t c = t[p];
        if (IsOperandKind(c)) {
            if (p + 1 >= t.size() || !IsIndexUnitCode(t[p + 1])) return false;
            ++p;
            continue;
        }
        if (c == u'(') ++depth;
        else if (c == u')' && --depth < 0) return false;
        else if (IsFunctionLetter(c)) {
            if (!IsFunctionAt(t, p)) return false;
            p += 1;  // the "(" is counted on the next round
        } else if (!(IsOperator(c) || c == u',' || c == u' ' || c == u')'))
            return false;
    }
    return depth == 0;
}

// Term passes on one term (it begins with its sign).
void SimplifyTerm(TokenText& term, Context& context, int depth)
{
    FoldProducts(term, context);
    CombinePowers(term, context, depth);
    DropOnes(term, context);
    DropZeros(term, context);
    FixSigns(term, context.table);
    StripParens(term);
}

// Simplifies every group that starts inside positions start .. end - 1 of the term at start,
// and returns the end of the term (the next term boundary or the text's end).
size_t SimplifyGroupsOfTerm(TokenText& text, size_t start, Context& context, int depth)
{
    size_t i = start + 1;
    while (i < text.size() && text[i] != u',' && !StartsTerm(text, i)) {
        if (text[i] == u'(') {
            const size_t close = CloseOf(text, i);
            if (close == kNone) return text.size();
            if (close > i + 1) {
                TokenText inner = text.substr(i + 1, close - i - 1);
                if (!IsSign(inner[0])) inner.insert(inner.begin(), u'+');
                SimplifyText(inner, context, depth + 1);
                if (inner[0] == u'+') inner.erase(0, 1);
                text.replace(i + 1, close - i - 1, inner);
                i += inner.size() + 1;  // at the closing parenthesis
            } else {
                i = close;  // an empty group is left for the compiler to report
            }
        }
        ++i;
    }
    return i;
}

}  // namespace

void SimplifyText(TokenText& text, Context& context, int depth)
{
    if (depth > kMaxDepth || !Readable(text)) return;
    for (int iteration = 0; iteration < kMaxIterations && context.budget > 0; ++iteration) {
        --context.budget;
        // Iterations go on until one leaves the text as it was: one that only keeps its
        // length (a wrap in one place, a deletion in another) may leave work half done, such
        // as a sign run the compiler does not read.
        const TokenText before = text;
        RemoveSpaces(text);
        FixSigns(text, context.table);
        StripParens(text);
        FoldSums(text, context);
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = SimplifyGroupsOfTerm(text, start, context, depth);
            TokenText term = text.substr(start, end - start);
            SimplifyTerm(term, context, depth);
            text.replace(start, end - start, term);
            start += term.size();
            if (term.empty()) break;  // cannot happen with the passes above; never loop on it
        }
        if (text == before) break;
    }
    if (text.empty() || text == u"+") {
        const TokenText zero = InternConstant(0, context.table);
        if (!zero.empty()) text = zero;
    }
    if (!text.empty() && !IsSign(text[0])) text.insert(text.begin(), u'+');
}

}  // namespace simplification

void SimplifyFormula(TokenText& text, ConstantTable& table)
{
    simplification::Context context{table};
    TokenText simplified = text;
    simplification::SimplifyText(simplified, context, 0);
    if (simplified != text && simplification::KeepsMeaning(text, simplified, table))
        text = simplified;
}

}  // namespace tessuvan
