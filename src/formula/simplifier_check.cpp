// The simplifier's final check: the simplified text replaces the original only when it
// compiles, needs no more steps (nested records included) and evaluates like the original at a
// few variable settings, up to the rounding that folding constants and reassociating factors
// bring. Both texts are compiled against private cells, so the model's cells are never
// touched; the constant table is only read.
#include <cmath>
#include <cstdint>

#include "formula/compiled_formula.h"
#include "formula/compiler.h"
#include "formula/simplifier_internal.h"

namespace tessuvan::simplification {

namespace {

// Relative agreement asked of the two values: far above the rounding of a few operations,
// far below any change of meaning.
constexpr WorkingFloat kAgreement = static_cast<WorkingFloat>(1e-9);

// Owns one compiled record.
struct Compiled {
    compilptr formula = NewFormula();
    int16_t errors = 0;
    Compiled(const TokenText& text, FormulaVariables& cells, const ConstantTable& table)
    {
        if (formula == nullptr) {
            errors = 1;
            return;
        }
        // The compiler binds constant cells by address and never writes the table.
        FormulaEnvironment env{cells, const_cast<ConstantTable&>(table), nullptr};
        CompileFormula(text, &formula, errors, env);
    }
    ~Compiled() { FreeFormula(formula); }
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;
    bool Ok() const { return errors == 0 && FormulaPresent(formula); }
};

long CountSteps(const compil* f)
{
    long steps = f->stop;
    for (int32_t i = 0; i < f->stop; ++i)
        if (f->fonction[i] == &StepSubFormula && f->donnee[i] != nullptr)
            steps += CountSteps(static_cast<const compil*>(f->donnee[i]));
    return steps;
}

// Fills every cell with a value of the setting: moderate magnitudes away from 0 (where the
// division guard would answer for both texts alike), positive in settings 0 and 1, of either
// sign in setting 2.
void FillCells(FormulaVariables& cells, int setting)
{
    uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(setting + 1);
    auto next = [&state, setting]() {
        state = state * 1664525u + 1013904223u;
        const WorkingFloat unit = static_cast<WorkingFloat>(state >> 8) / WorkingFloat(1 << 24);
        const WorkingFloat magnitude = setting == 1 ? 1.5 + 2 * unit : 0.55 + unit;
        return (setting == 2 && (state & 0x80u)) ? -magnitude : magnitude;
    };
    for (auto& v : cells.AdjustableValues) v = next();
    for (auto& v : cells.PParameters) v = next();
    for (auto& v : cells.QParameters) v = next();
    for (auto& v : cells.SpeciesAmounts) v = next();
    cells.CurrentTime = next();
}

// EvaluateFormula step by step, noting whether the value went through a point where the
// formula is not defined: a divisor the evaluator replaces (zero, tiny or undefined), a
// logarithm taken at the threshold, a power or exponential that is not a finite number. There
// the evaluator's stand-in values decide, and rewrites that keep the value elsewhere may not
// keep them.
WorkingFloat EvaluateNotingDegenerate(const compil* f, bool& degenerate)
{
    StepAccumulator acc{0, 0, 0, f->functionScratch};
    for (int32_t i = 0; i < f->stop; ++i) {
        const StepRoutine step = f->fonction[i];
        if (step == &StepSubFormula) {
            compil* nested = const_cast<compil*>(static_cast<const compil*>(f->donnee[i]));
            nested->result = EvaluateNotingDegenerate(nested, degenerate);
            continue;
        }
        const WorkingFloat x = *static_cast<const WorkingFloat*>(f->donnee[i]);
        if (step == &StepDivide && !(std::fabs(x) > ObservationThreshold)) degenerate = true;
        if (step == &StepLn && !(x > ObservationThreshold)) degenerate = true;
        step(f->donnee[i], acc);
        if ((step == &StepPower || step == &StepExp) && !std::isfinite(*f->functionScratch))
            degenerate = true;
    }
    return acc.total + acc.term;
}

bool Agree(WorkingFloat original, WorkingFloat simplified)
{
    if (original == simplified) return true;
    const WorkingFloat scale = std::fmax(std::fabs(original), std::fabs(simplified));
    return std::fabs(original - simplified) <= kAgreement * scale;
}

}  // namespace

bool KeepsMeaning(const TokenText& original, const TokenText& simplified,
                  const ConstantTable& table)
{
    FormulaVariables cells;
    Compiled before(original, cells, table);
    Compiled after(simplified, cells, table);
    if (!after.Ok()) return !before.Ok();  // a text that did not compile may stay as simplified
    if (!before.Ok()) return true;          // sign runs the compiler does not read: now it does
    if (CountSteps(after.formula) > CountSteps(before.formula)) return false;
    // Compared where the original is defined; a formula defined at none of the settings (such
    // as one that divides by a constant 0) stays as written.
    int compared = 0;
    for (int setting = 0; setting < 3; ++setting) {
        FillCells(cells, setting);
        bool degenerate = false;
        const WorkingFloat expected = EvaluateNotingDegenerate(before.formula, degenerate);
        const WorkingFloat actual = EvaluateFormula(after.formula);
        if (degenerate || !std::isfinite(expected)) continue;
        if (!Agree(expected, actual)) return false;
        ++compared;
    }
    return compared > 0;
}

}  // namespace tessuvan::simplification
