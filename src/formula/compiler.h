// From token text to a compiled formula, in one left-to-right pass without a syntax tree.
// Every parenthesised group, function argument and formula-defined adjustable parameter is
// compiled into a nested record that a StepSubFormula step evaluates.
#pragma once

#include <cstdint>

#include "formula/compiled_formula.h"
#include "formula/formula_variables.h"

namespace tessuvan {

// The compiler's view of the adjustable parameters' defining formulas (token A).
class DefinitionSource {
public:
    virtual ~DefinitionSource() = default;
    // Token text of parameter k's definition when k has one (its PE slot is not null).
    virtual const TokenText* Definition(int k) const = 0;
    // Parameter k's definition reads its own value: drop it (PE becomes null).
    virtual void DropDefinition(int k) = 0;
};

// The cells and tables a formula binds to. definitions may be null (no A is defined).
struct FormulaEnvironment {
    FormulaVariables& variables;
    ConstantTable& constants;
    DefinitionSource* definitions;
};

// Compiles text into the record *target (allocated by the caller) and adds every problem to
// errors: an empty text or group, an operand or operator that is not of the language, an
// index outside its array, unbalanced parentheses, more than 256 steps in one record, a
// function call straight after "^", nesting deeper than supported, definitions that refer to
// each other in a cycle, and a definition that reads its own parameter. A trailing operator is
// ignored. The record is marked compiled only when errors is still 0 afterwards.
void CompileFormula(const TokenText& text, compilptr* target, int16_t& errors,
                    const FormulaEnvironment& env);

// The size of a formula as the compiler builds it: the steps of its largest record and how
// deep records nest below the formula's own.
struct FormulaMeasure {
    int steps = 0;
    int depth = 0;
};

// Compiles as CompileFormula does, but counts the steps a record would need past the 256 it
// holds instead of stopping there (those are not written), so that a host can be told how far
// over a formula is. The record is never marked compiled.
void MeasureFormula(const TokenText& text, compilptr* target, int16_t& errors, const FormulaEnvironment& env,
                    FormulaMeasure& measure);

// Position (1-based) of the parenthesis closing the one at p; status is 0 when found, 1 when
// the unit at p is not "(" (answer p) or the text ends first (answer length + 1).
int MatchParen(const TokenText& text, int p, int& status);

}  // namespace tessuvan
