#include "formula/tokenizer.h"

#include <charconv>
#include <cmath>
#include <string>

namespace tessuvan {

namespace {

void AddError(int16_t& errors, long amount) { AddCode(errors, amount); }

// The end (exclusive, 0-based) of a literal starting at start: digits, ".", and "E"/"e"
// each taking the next unit with it.
size_t LiteralEnd(const TokenText& text, size_t start)
{
    size_t p = start + 1;
    while (p < text.size()) {
        char16_t c = text[p];
        if (IsDigit(c) || c == u'.') {
            ++p;
        } else if (c == u'E' || c == u'e') {
            p += 2;
        } else {
            break;
        }
    }
    return p < text.size() ? p : text.size();
}

// Decimal conversion of a literal (an optional leading "-", digits with at most one point,
// an optional exponent). Returns 0, or the 1-based position of the first unit that cannot be
// converted; a value that is not finite is an error as well.
int ConvertLiteral(const TokenText& literal, WorkingFloat& value)
{
    const size_t n = literal.size();
    size_t p = 0;
    if (p < n && literal[p] == u'-') ++p;
    bool digits = false, point = false;
    while (p < n && (IsDigit(literal[p]) || (literal[p] == u'.' && !point))) {
        if (literal[p] == u'.') point = true; else digits = true;
        ++p;
    }
    if (!digits) return static_cast<int>(p < n ? p + 1 : n + 1);
    if (p < n && (literal[p] == u'E' || literal[p] == u'e')) {
        ++p;
        if (p < n && IsSign(literal[p])) ++p;
        size_t firstExponentDigit = p;
        while (p < n && IsDigit(literal[p])) ++p;
        if (p == firstExponentDigit) return static_cast<int>(p < n ? p + 1 : n + 1);
    }
    if (p < n) return static_cast<int>(p + 1);

    std::string narrow(literal.begin(), literal.end());
    WorkingFloat parsed = 0;
    auto outcome = std::from_chars(narrow.data(), narrow.data() + narrow.size(), parsed);
    if (outcome.ec == std::errc::result_out_of_range) {
        // Underflow to zero or a subnormal is a finite number; only overflow is refused.
        if (narrow.find_first_of("123456789") == std::string::npos) { value = 0; return 0; }
        const auto exponentAt = narrow.find_first_of("Ee");
        if (exponentAt != std::string::npos && narrow.find('-', exponentAt) != std::string::npos) {
            value = 0;
            return 0;
        }
        return static_cast<int>(n);
    }
    if (outcome.ec != std::errc() || !std::isfinite(parsed)) return static_cast<int>(n);
    value = parsed;
    return 0;
}

// Recursive-descent recogniser of the host's formula language (see CheckFormulaSyntax).
class SyntaxChecker {
public:
    explicit SyntaxChecker(const TokenText& text) : text_(text) {}

    bool Accepts()
    {
        if (text_.empty()) return false;
        if (!Expression(0)) return false;
        return position_ == text_.size();
    }

private:
    static constexpr int kMaxDepth = 200;

    char16_t At(size_t p) const { return p < text_.size() ? text_[p] : u'\0'; }
    bool AtGroupEnd() const { return position_ >= text_.size() || text_[position_] == u')'; }

    bool Expression(int depth)
    {
        if (depth > kMaxDepth) return false;
        for (;;) {
            while (IsSign(At(position_))) ++position_;
            if (!Operand(depth)) return false;
            if (AtGroupEnd()) return true;
            if (!IsOperator(At(position_))) return false;
            ++position_;
            if (AtGroupEnd()) return true;  // a trailing operator is ignored by the compiler
        }
    }

    bool Group(int depth)
    {
        ++position_;  // "("
        if (At(position_) == u')') return false;
        if (!Expression(depth + 1)) return false;
        if (At(position_) != u')') return false;
        ++position_;
        return true;
    }

    bool Operand(int depth)
    {
        const char16_t c = At(position_);
        if (IsLiteralStart(c)) {
            position_ = LiteralEnd(text_, position_);
            return true;
        }
        if (IsIndexedKind(c)) {
            if (!IsDigit(At(position_ + 1))) return false;
            position_ += IsDigit(At(position_ + 2)) ? 3 : 2;
            return true;
        }
        if (c == u'T') {
            ++position_;
            return true;
        }
        if (c == u'(') return Group(depth);
        if (IsFunctionHead(c, At(position_ + 1), At(position_ + 2))) {
            position_ += 2;
            return Group(depth);
        }
        return false;
    }

    const TokenText& text_;
    size_t position_ = 0;
};

}  // namespace

void RemoveSpaces(TokenText& text)
{
    for (size_t i = text.size(); i-- > 0;)
        if (text[i] == u' ') text.erase(i, 1);
}

int CheckFormulaSyntax(const TokenText& text) { return SyntaxChecker(text).Accepts() ? 0 : 1; }

void TokenizeFormula(TokenText& text, int16_t& errors, ConstantTable& table)
{
    errors = 0;
    RemoveSpaces(text);
    if (text.empty()) {
        AddError(errors, 1);
        return;
    }
    AddError(errors, CheckFormulaSyntax(text));
    if (!IsSign(text[0])) text.insert(text.begin(), u'+');

    size_t p = 0;  // 0-based position of the unit examined
    while (p < text.size()) {
        const char16_t c = text[p];
        if (c == u'(') {
            if (p > 0 && text[p - 1] == u'(') text.insert(p, 1, u'+');
            ++p;
        } else if (IsLiteralStart(c)) {
            size_t start = p;
            if (p > 0 && text[p - 1] == u'-') {
                start = p - 1;          // the minus joins the literal ...
                text[p - 1] = u'+';     // ... and the text keeps a plus in its place
            }
            const size_t end = LiteralEnd(text, p);
            TokenText literal = text.substr(start, end - start);
            if (start < p) literal[0] = u'-';
            WorkingFloat value = 0;
            const int code = ConvertLiteral(literal, value);
            AddError(errors, code);
            TokenText token = InternConstant(code == 0 ? value : WorkingFloat(0), table);
            if (token.empty()) {
                AddError(errors, 1);  // more distinct constants than the table holds
                token = OperandToken(u'C', 0);
            }
            const size_t prefixEnd = start < p ? p : start;  // the "+" stays in the prefix
            text.replace(prefixEnd, end - prefixEnd, token);
            p = prefixEnd + 2;
        } else if (IsIndexedKind(c)) {
            const size_t digits = (p + 2 < text.size() && IsDigit(text[p + 2])) ? 2 : 1;
            const size_t available = std::min(digits, text.size() - p - 1);
            int index = 0;
            bool converted = available > 0;
            for (size_t d = 0; d < available; ++d) {
                if (!IsDigit(text[p + 1 + d])) { converted = false; break; }
                index = index * 10 + (text[p + 1 + d] - u'0');
            }
            if (!converted) {
                AddError(errors, 1);
                index = 0;
            } else if (index < 1 || index > IndexCapacity(c)) {
                AddError(errors, 1);  // index 0 or beyond the addressed array
            }
            text.replace(p + 1, available, 1, IndexUnit(index));
            p += 2;
        } else if (c == u'T') {
            text.insert(p + 1, 1, IndexUnit(1));
            p += 1;
        } else {
            ++p;
        }
    }
}

}  // namespace tessuvan
