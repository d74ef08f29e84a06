// Fuzz target: one formula through the whole pipeline the load runs on every text (tokenize,
// simplify, compile), then evaluated on arbitrary variable values.
//
// Input, split at the first three line feeds:
//   line 1   the formula, one byte per code unit (bytes above 127 make non-ASCII units)
//   line 2   the defining formula of A1 (empty: A1 is free)
//   line 3   the defining formula of A2
//   rest     byte 0: flags (bit 0 fills the constant table almost to capacity first,
//            bit 1 also compiles line 1 as raw token text, skipping the tokenizer);
//            then one selector per variable cell, A1.., P1.., Q1.., F1.., T, in that order:
//            a selector below 240 picks one of the awkward values below, any other is
//            followed by 8 bytes taken as the bits of a double.
//
// Beyond "no crash, no leak, no undefined behaviour" it checks what the rest of the engine
// relies on: a formula that compiles as tokenized still compiles once simplified, a
// compiled record is marked compiled, evaluation is a pure function of the cells (same bits
// twice), and reference counts never exceed the steps that could hold them.
//
// Also built into the engine tests, which replay fuzz/corpus/formula with g++ on both builds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "formula/compiled_formula.h"
#include "formula/compiler.h"
#include "formula/simplifier.h"
#include "formula/tokenizer.h"

namespace {

using namespace tessuvan;

[[noreturn]] void InvariantBroken(const char* what)
{
    std::fprintf(stderr, "formula pipeline invariant broken: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) InvariantBroken(#condition); \
    } while (0)

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // The bytes up to the next line feed (or the end), the line feed consumed.
    TokenText Line()
    {
        TokenText line;
        while (position_ < size_ && data_[position_] != '\n') line.push_back(static_cast<char16_t>(data_[position_++]));
        if (position_ < size_) ++position_;
        return line;
    }
    bool Empty() const { return position_ >= size_; }
    uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
    double Double()
    {
        uint8_t bytes[8] = {};
        for (uint8_t& b : bytes) b = Byte();
        double value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// Values that sit on the engine's edges: zero and the 1e-130 threshold, the division
// replacement, overflow and underflow, infinities, NaN, integral and half-integral exponents.
WorkingFloat AwkwardValue(uint8_t selector)
{
    static const WorkingFloat values[] = {
        0, 1, -1, 2, -2, 0.5, -0.5, 3, 10, 1e-130, -1e-130, 1e-131, 1e130, -1e130, 1e300, -1e300,
        1e-300, 4.9e-324, 709.78, -745.2, 2147483647.0, 2147483648.0, -2147483649.0, 1e19, 0.1,
        std::numeric_limits<WorkingFloat>::max(), std::numeric_limits<WorkingFloat>::lowest(),
        std::numeric_limits<WorkingFloat>::infinity(), -std::numeric_limits<WorkingFloat>::infinity(),
        std::numeric_limits<WorkingFloat>::quiet_NaN(), -0.0, 1e-5};
    return values[selector % (sizeof values / sizeof values[0])];
}

WorkingFloat NextValue(Reader& reader, int cell)
{
    if (reader.Empty()) return WorkingFloat(0.25) * cell + WorkingFloat(0.5);
    const uint8_t selector = reader.Byte();
    if (selector < 240) return AwkwardValue(selector);
    return static_cast<WorkingFloat>(reader.Double());
}

// Definitions of A1 and A2 as the load keeps them: token text, present while not dropped.
class Definitions : public DefinitionSource {
public:
    const TokenText* Definition(int k) const override
    {
        if (k < 1 || k > 2 || !texts[k - 1]) return nullptr;
        return &*texts[k - 1];
    }
    void DropDefinition(int k) override
    {
        if (k >= 1 && k <= 2) texts[k - 1].reset();
    }
    std::optional<TokenText> texts[2];
};

bool SameBits(WorkingFloat a, WorkingFloat b)
{
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

size_t StepCapacity(const compil* f)
{
    if (f == nullptr) return 0;
    size_t steps = static_cast<size_t>(f->stop);
    for (int32_t i = 0; i < f->stop; ++i)
        if (f->fonction[i] == &StepSubFormula) steps += StepCapacity(static_cast<const compil*>(f->donnee[i]));
    return steps;
}

// Compiles token text into a fresh record; returns it with its error count.
compilptr Compile(const TokenText& tokens, int16_t& errors, const FormulaEnvironment& env)
{
    errors = 0;
    compilptr record = NewFormula();
    if (record == nullptr) return nullptr;
    CompileFormula(tokens, &record, errors, env);
    FUZZ_CHECK(record->compiled == (errors == 0));
    FUZZ_CHECK(record->stop >= 0 && record->stop <= kMaxSteps);
    return record;
}

void CheckEvaluation(const compil* f, FormulaVariables& variables)
{
    if (!FormulaPresent(f)) return;
    const WorkingFloat first = EvaluateFormula(f);
    const WorkingFloat second = EvaluateFormula(f);
    FUZZ_CHECK(SameBits(first, second));
    const size_t steps = StepCapacity(f);
    for (int k = 1; k <= kMaxSpecies; ++k)
        FUZZ_CHECK(static_cast<size_t>(CountReferences(&variables.SpeciesAmounts[k], f)) <= steps);
    FUZZ_CHECK(static_cast<size_t>(CountReferences(&variables.CurrentTime, f)) <= steps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader reader(data, size);
    const TokenText formula = reader.Line();
    const TokenText definitionLines[2] = {reader.Line(), reader.Line()};
    const uint8_t flags = reader.Byte();

    FormulaVariables variables;
    ConstantTable constants;
    Definitions definitions;
    const FormulaEnvironment env{variables, constants, &definitions};

    if (flags & 1) {
        // A long-lived process: the table holds constants of earlier formulas.
        for (int i = 0; i < kConstantCapacity - 3; ++i) InternConstant(WorkingFloat(1000 + i), constants);
    }

    // The defining formulas, as the load prepares them: tokenized and simplified in place, a
    // text that names its own parameter dropped, one that does not tokenize left out.
    for (int k = 1; k <= 2; ++k) {
        TokenText text = definitionLines[k - 1];
        if (text.empty()) continue;
        int16_t errors = 0;
        TokenizeFormula(text, errors, constants);
        SimplifyFormula(text, constants);
        const TokenText self{u'A', static_cast<char16_t>(96 + k)};
        if (errors == 0 && text.find(self) == TokenText::npos) definitions.texts[k - 1] = text;
    }

    int cell = 0;
    for (int a = 1; a <= kMaxAdjustables; ++a) variables.AdjustableValues[a] = NextValue(reader, ++cell);
    for (int p = 1; p <= kMaxPParameters; ++p) variables.PParameters[p] = NextValue(reader, ++cell);
    for (int q = 1; q <= kMaxQParameters; ++q) variables.QParameters[q] = NextValue(reader, ++cell);
    for (int f = 1; f <= kMaxSpecies; ++f) variables.SpeciesAmounts[f] = NextValue(reader, ++cell);
    variables.CurrentTime = NextValue(reader, ++cell);

    std::vector<compilptr> records;

    // The definitions compiled on their own, each with the count of reads of its own cell.
    for (int k = 1; k <= 2; ++k) {
        if (!definitions.texts[k - 1]) continue;
        const TokenText text = *definitions.texts[k - 1];
        int16_t errors = 0;
        compilptr record = Compile(text, errors, env);
        if (record != nullptr) {
            AddCode(errors, CountReferences(&variables.AdjustableValues[k], record));
            CheckEvaluation(record, variables);
            records.push_back(record);
        }
    }

    TokenText tokens = formula;
    int16_t errors = 0;
    TokenizeFormula(tokens, errors, constants);
    if (errors == 0) {
        TokenText simplified = tokens;
        SimplifyFormula(simplified, constants);

        const Definitions before = definitions;
        int16_t simplifiedErrors = 0;
        compilptr record = Compile(simplified, simplifiedErrors, env);
        if (record != nullptr) {
            CheckEvaluation(record, variables);
            records.push_back(record);
        }
        definitions = before;
        int16_t plainErrors = 0;
        compilptr plain = Compile(tokens, plainErrors, env);
        if (plain != nullptr) {
            CheckEvaluation(plain, variables);
            records.push_back(plain);
        }
        if (record != nullptr && plain != nullptr && plainErrors == 0) FUZZ_CHECK(simplifiedErrors == 0);
    }

    if (flags & 2) {
        // Arbitrary token text: the compiler must reject what it cannot bind, never misread it.
        int16_t rawErrors = 0;
        compilptr raw = Compile(formula, rawErrors, env);
        if (raw != nullptr) {
            CheckEvaluation(raw, variables);
            records.push_back(raw);
        }
    }

    for (compilptr record : records) FreeFormula(record);
    return 0;
}
