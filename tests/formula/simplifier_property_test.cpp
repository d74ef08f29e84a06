// Thousands of generated formulas: the simplified text, compiled and evaluated, must give the
// value of the host text read by a small evaluator of its own (equal, or within rounding), and
// never need more compiled steps than the text as the compiler reads it unsimplified.
//
// Every formula has its own seed, printed with any failure; set TESSUVAN_SIMPLIFIER_SEED to
// run that one formula again, or TESSUVAN_SIMPLIFIER_COUNT to run more formulas.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "formula/simplifier.h"
#include "formula/simplifier_internal.h"
#include "formula_test_support.h"

namespace tessuvan::testing {
namespace {

// A formula in host text, and the same formula written so that the compiler reads it
// unsimplified, whose steps the simplified text must not exceed: a sign in an operand position
// (x*-y, x^-y, a term opened by a sign run) is put inside parentheses there.
struct Generated {
    std::string text;
    std::string reference;
    bool signRuns = false;
};

class FormulaGenerator {
public:
    explicit FormulaGenerator(uint32_t seed) : random_(seed)
    {
        // A few variables per formula, so that factors repeat; indices 5, 12, 14 and 24 are
        // the index units e, l, n and x.
        static const char* const pool[] = {"P1", "P2", "P5", "P12", "Q14",
                                           "F5", "A12", "T",  "P24", "F1"};
        for (auto& v : variables_) v = pool[Pick(10)];
    }

    Generated Formula()
    {
        Generated g = Expression(0);
        // Two signs before the first term; their product is its sign. (Not before a literal:
        // the tokenizer makes the last sign part of the constant.)
        if (Chance(8) && !StartsWithLiteral(g.text)) {
            const std::string body = IsSignChar(g.text[0]) ? g.text.substr(1) : g.text;
            const std::string bodyReference =
                IsSignChar(g.reference[0]) ? g.reference.substr(1) : g.reference;
            const bool first = Chance(2), second = Chance(2);
            g.text = std::string(first ? "-" : "+") + (second ? "-" : "+") + body;
            g.reference = (first != second ? "-" : "+") + bodyReference;
            g.signRuns = true;
        }
        return g;
    }

private:
    int Pick(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }
    bool Chance(int oneIn) { return Pick(oneIn) == 0; }

    static bool IsSignChar(char c) { return c == '+' || c == '-'; }
    static bool StartsWithLiteral(const std::string& s)
    {
        const size_t p = IsSignChar(s[0]) ? 1 : 0;
        return p < s.size() && ((s[p] >= '0' && s[p] <= '9') || s[p] == '.');
    }
    static Generated Both(const std::string& s) { return {s, s, false}; }
    static Generated Join(const Generated& a, const std::string& glue, const Generated& b)
    {
        return {a.text + glue + b.text, a.reference + glue + b.reference, a.signRuns || b.signRuns};
    }
    static Generated Wrap(const std::string& open, const Generated& g, const std::string& close)
    {
        return {open + g.text + close, open + g.reference + close, g.signRuns};
    }

    Generated Constant()
    {
        static const char* const constants[] = {"0", "1",  "2",  "3",   "0.5", "4",
                                                "1.5", "0.25", "5", "10", "3.7", "1"};
        return Both(constants[Pick(12)]);
    }

    Generated Variable() { return Both(variables_[Pick(3)]); }

    Generated Primary(int depth)
    {
        const int choice = depth >= 3 ? Pick(2) : Pick(9);
        switch (choice) {
            case 0: return Constant();
            case 1: case 2: case 3: case 4: return Variable();
            case 5: case 6: return Wrap("(", Expression(depth + 1), ")");
            case 7: return Wrap("EX(", Wrap("", Expression(depth + 2), "/8"), ")");
            default: return Wrap("LN(", Expression(depth + 1), ")");
        }
    }

    Generated Exponent(int depth)
    {
        static const char* const small[] = {"2", "3", "0.5", "1", "0", "-1", "2"};
        switch (Pick(6)) {
            case 0: case 1: return Both(small[Pick(7)]);
            case 2: return Variable();
            case 3: {
                if (depth >= 2) return Both("2");
                Generated inner = Term(depth + 2);
                return Wrap("(", inner, ")");
            }
            case 4: {
                Generated v = Variable();
                return {"-" + v.text, "(-" + v.reference + ")", true};
            }
            default: return Both(small[Pick(7)]);
        }
    }

    Generated Factor(int depth)
    {
        Generated f = Primary(depth);
        const int powers = Chance(3) ? 1 + Pick(2) : 0;
        for (int k = 0; k < powers; ++k) f = Join(f, "^", Exponent(depth));
        return f;
    }

    Generated Term(int depth)
    {
        Generated t = Factor(depth);
        const int more = Pick(depth >= 2 ? 2 : 4);
        for (int k = 0; k < more; ++k) {
            Generated f = Factor(depth);
            if (Chance(7)) f = {"-" + f.text, "(-" + f.reference + ")", true};
            t = Join(t, Chance(3) ? "/" : "*", f);
        }
        return t;
    }

    Generated Expression(int depth)
    {
        Generated e = Term(depth);
        if (Chance(4)) e = Wrap("-", e, "");
        const int more = Pick(depth >= 2 ? 2 : 4);
        for (int k = 0; k < more; ++k) {
            Generated t = Term(depth);
            const bool minus = Chance(2);
            // A term opened by two signs: their product is its sign.
            if (Chance(10) && !StartsWithLiteral(t.text)) {
                const bool second = Chance(2);
                e = {e.text + (minus ? "-" : "+") + (second ? "-" : "+") + t.text,
                     e.reference + (minus != second ? "-" : "+") + t.reference, true};
                continue;
            }
            e = Join(e, minus ? "-" : "+", t);
        }
        return e;
    }

    std::mt19937 random_;
    const char* variables_[3];
};

int AllSteps(const compil* f)
{
    int steps = f->stop;
    for (int i = 0; i < f->stop; ++i)
        if (f->fonction[i] == &StepSubFormula)
            steps += AllSteps(static_cast<const compil*>(f->donnee[i]));
    return steps;
}

// The value of a host text read with none of the engine's formula code: sums of terms,
// products and quotients of factors, powers grouping to the left (a^b^c is (a^b)^c), EX and
// LN, a sign after an operator applying to the factor after it (to the one operand after "^"),
// and the language's own rule that a "-" right before a number belongs to the number
// (P1-2^P2 is P1 + (-2)^P2). It notes whether the value went through a point where the
// formula is not defined: a divisor not above 1e-130 in magnitude, a logarithm of a value not
// above it, a power or exponential that is not finite. There the engine's stand-in values
// decide, and rewrites only have to keep the value where it is defined.
class HostTextValue {
public:
    HostTextValue(const std::string& text, const FormulaVariables& cells) : text_(text), cells_(cells) {}

    WorkingFloat Value(bool& degenerate)
    {
        const WorkingFloat value = Sum();
        degenerate = degenerate_;
        return value;
    }

private:
    char At() const { return position_ < text_.size() ? text_[position_] : '\0'; }
    static bool StartsNumber(char c) { return (c >= '0' && c <= '9') || c == '.'; }
    static bool IsSign(char c) { return c == '+' || c == '-'; }
    WorkingFloat Checked(WorkingFloat v)
    {
        if (!std::isfinite(v)) degenerate_ = true;
        return v;
    }

    // A run of signs and its product; a "-" right before a number is left to the number.
    WorkingFloat Signs(bool& negativeNumber)
    {
        WorkingFloat sign = 1;
        negativeNumber = false;
        while (IsSign(At())) {
            const bool minus = text_[position_++] == '-';
            if (minus && StartsNumber(At())) {
                negativeNumber = true;
                break;
            }
            if (minus) sign = -sign;
        }
        return sign;
    }

    WorkingFloat Sum()
    {
        WorkingFloat sum = 0;
        do {
            bool negativeNumber = false;
            const WorkingFloat sign = Signs(negativeNumber);
            sum = sum + sign * Term(negativeNumber);
        } while (IsSign(At()));
        return sum;
    }

    WorkingFloat Term(bool negativeNumber)
    {
        WorkingFloat value = Factor(negativeNumber);
        while (At() == '*' || At() == '/') {
            const bool divide = text_[position_++] == '/';
            const WorkingFloat sign = Signs(negativeNumber);
            const WorkingFloat factor = sign * Factor(negativeNumber);
            if (divide && !(std::fabs(factor) > ObservationThreshold)) degenerate_ = true;
            value = divide ? value / factor : value * factor;
        }
        return value;
    }

    WorkingFloat Factor(bool negativeNumber)
    {
        WorkingFloat value = Primary(negativeNumber);
        while (At() == '^') {
            ++position_;
            const WorkingFloat sign = Signs(negativeNumber);
            value = Checked(std::pow(value, sign * Primary(negativeNumber)));
        }
        return value;
    }

    WorkingFloat Group()
    {
        const WorkingFloat value = Sum();
        ++position_;  // ")"
        return value;
    }

    WorkingFloat Primary(bool negativeNumber)
    {
        const char c = At();
        if (StartsNumber(c)) {
            const size_t start = position_;
            while (StartsNumber(At())) ++position_;
            WorkingFloat value = 0;
            std::from_chars(text_.data() + start, text_.data() + position_, value);
            return negativeNumber ? -value : value;
        }
        if (text_.compare(position_, 3, "EX(") == 0 || text_.compare(position_, 3, "LN(") == 0) {
            position_ += 3;
            const WorkingFloat argument = Group();
            if (c == 'E') return Checked(std::exp(argument));
            if (!(argument > ObservationThreshold)) degenerate_ = true;
            return std::log(argument);
        }
        ++position_;
        if (c == '(') return Group();
        if (c == 'T') return cells_.CurrentTime;
        int index = 0;
        while (At() >= '0' && At() <= '9') index = index * 10 + (text_[position_++] - '0');
        switch (c) {
            case 'A': return cells_.AdjustableValues[index];
            case 'F': return cells_.SpeciesAmounts[index];
            case 'P': return cells_.PParameters[index];
            default: return cells_.QParameters[index];
        }
    }

    const std::string& text_;
    const FormulaVariables& cells_;
    size_t position_ = 0;
    bool degenerate_ = false;
};

// One formula's check against its own constant table and cells.
class Trial {
public:
    explicit Trial(uint32_t seed) : seed_(seed) {}

    // Returns an empty text when the formula holds, else what went wrong.
    std::string Run(bool withFinalCheck)
    {
        const Generated g = FormulaGenerator(seed_).Formula();
        TokenText text = Tokens(g.text);
        const TokenText reference = Tokens(g.reference);
        if (text.empty() || reference.empty()) return "not tokenized: " + g.text;
        const TokenText original = text;
        if (withFinalCheck) {
            SimplifyFormula(text, table_);
        } else {
            simplification::Context context{table_};
            simplification::SimplifyText(text, context, 0);
        }
        Compiled before(reference, *this);
        if (!before.ok) return "";  // beyond the compiler's limits as written: nothing to compare
        Compiled after(text, *this);
        const std::string which = g.text + "  ->  " + Narrow(original) + "  ->  " + Narrow(text);
        if (!after.ok) return "no longer compiles: " + which;
        if (!g.signRuns && AllSteps(after.formula) > AllSteps(before.formula))
            return "more steps (" + std::to_string(AllSteps(before.formula)) + " -> " +
                   std::to_string(AllSteps(after.formula)) + "): " + which;
        for (int setting = 0; setting < 3; ++setting) {
            SetAll(setting);
            bool degenerate = false;
            const WorkingFloat expected = HostTextValue(g.text, variables_).Value(degenerate);
            const WorkingFloat actual = EvaluateFormula(after.formula);
            if (degenerate) continue;
            if (!Close(expected, actual))
                return "value " + std::to_string(static_cast<double>(expected)) + " became " +
                       std::to_string(static_cast<double>(actual)) + " (setting " +
                       std::to_string(setting) + "): " + which;
        }
        return "";
    }

private:
    struct Compiled {
        compilptr formula = NewFormula();
        bool ok = false;
        Compiled(const TokenText& text, Trial& trial)
        {
            int16_t errors = 0;
            FormulaEnvironment env{trial.variables_, trial.table_, nullptr};
            CompileFormula(text, &formula, errors, env);
            ok = errors == 0;
        }
        ~Compiled() { FreeFormula(formula); }
    };

    TokenText Tokens(const std::string& host)
    {
        TokenText t = U16(host);
        int16_t errors = 0;
        TokenizeFormula(t, errors, table_);
        return errors == 0 ? t : TokenText();
    }

    // Values of either sign in setting 1, so that powers of negative bases are exercised.
    void SetAll(int setting)
    {
        std::mt19937 values(seed_ * 7 + static_cast<uint32_t>(setting));
        std::uniform_real_distribution<double> unit(0.6, 2.4);
        auto next = [&]() {
            const double v = unit(values);
            return static_cast<WorkingFloat>(setting == 1 && values() % 2 ? -v : v);
        };
        for (auto& x : variables_.AdjustableValues) x = next();
        for (auto& x : variables_.PParameters) x = next();
        for (auto& x : variables_.QParameters) x = next();
        for (auto& x : variables_.SpeciesAmounts) x = next();
        variables_.CurrentTime = next();
    }

    // Equal, undefined as written, or within rounding of the larger magnitude (or of 1, for
    // terms of moderate size that cancel). Rounding is amplified by what follows it: an
    // exponential turns an absolute error of its argument into a relative one of its value,
    // so a value of magnitude e^y, such as a power computed as exp(e·ln b), carries y times
    // the rounding (values far beyond the double range, in the extended build).
    static bool Close(WorkingFloat expected, WorkingFloat actual)
    {
        if (!std::isfinite(expected)) return true;  // undefined or overflowing as written
        if (expected == actual) return true;
        const WorkingFloat scale = std::fmax(std::fabs(expected), std::fabs(actual));
        const WorkingFloat ulp = std::numeric_limits<WorkingFloat>::epsilon();
        const WorkingFloat exponent = std::fmax(std::fabs(std::log(scale)), WorkingFloat(1));
        return std::fabs(expected - actual) <= 4096 * ulp * exponent * std::fmax(scale, WorkingFloat(1));
    }

    uint32_t seed_;
    ConstantTable table_;
    FormulaVariables variables_;
};

void RunTrials(bool withFinalCheck, uint32_t firstSeed, int count)
{
    if (const char* replay = std::getenv("TESSUVAN_SIMPLIFIER_SEED")) {
        firstSeed = static_cast<uint32_t>(std::strtoul(replay, nullptr, 10));
        count = 1;
    }
    if (const char* many = std::getenv("TESSUVAN_SIMPLIFIER_COUNT"))  // longer runs by hand
        count = std::atoi(many);
    int failures = 0;
    for (int k = 0; k < count && failures < 10; ++k) {
        const uint32_t seed = firstSeed + static_cast<uint32_t>(k);
        const std::string problem = Trial(seed).Run(withFinalCheck);
        if (!problem.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << problem;
        }
    }
}

TEST(SimplifiedFormulas, EvaluateAsWrittenAndNeedNoMoreSteps) { RunTrials(true, 1, 3000); }

// The passes alone, without the final check that would hide their mistakes.
TEST(SimplifiedFormulas, PassesAloneKeepEveryValue) { RunTrials(false, 100001, 3000); }

}  // namespace
}  // namespace tessuvan::testing
