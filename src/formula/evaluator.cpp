// The evaluator and its eleven step routines. Every routine first copies the value at its
// operand address into acc.operand (StepPower reads the previous operand before that).
#include <cmath>
#include <limits>
#include <new>

#include "formula/compiled_formula.h"
#include "formula/step_arithmetic.h"

namespace tessuvan {

// The arithmetic of each step is in step_arithmetic.h, shared with the flat layout.
void StepSet(const void* operand, StepAccumulator& acc) { ApplySet(acc, OperandValue(operand)); }
void StepNegate(const void* operand, StepAccumulator& acc) { ApplyNegate(acc, OperandValue(operand)); }
void StepAdd(const void* operand, StepAccumulator& acc) { ApplyAdd(acc, OperandValue(operand)); }
void StepSubtract(const void* operand, StepAccumulator& acc) { ApplySubtract(acc, OperandValue(operand)); }
void StepMultiply(const void* operand, StepAccumulator& acc) { ApplyMultiply(acc, OperandValue(operand)); }
void StepDivide(const void* operand, StepAccumulator& acc) { ApplyDivide(acc, OperandValue(operand)); }
void StepLoad(const void* operand, StepAccumulator& acc) { ApplyLoad(acc, OperandValue(operand)); }
void StepPower(const void* operand, StepAccumulator& acc) { ApplyPower(acc, OperandValue(operand)); }
void StepLn(const void* operand, StepAccumulator& acc) { ApplyLn(acc, OperandValue(operand)); }
void StepExp(const void* operand, StepAccumulator& acc) { ApplyExp(acc, OperandValue(operand)); }

void StepSubFormula(const void* operand, StepAccumulator&)
{
    compil* nested = const_cast<compil*>(static_cast<const compil*>(operand));
    nested->result = EvaluateFormula(nested);
}

WorkingFloat Power(WorkingFloat b, WorkingFloat e)
{
    if (e == 0) return 1;
    if (b == 0 && e > 0) return 0;
    if (e == std::floor(e) && std::fabs(e) <= WorkingFloat(2147483647)) {
        WorkingFloat result = 1;
        unsigned long n = static_cast<unsigned long>(std::fabs(e));
        while (n > 0) {
            while (n % 2 == 0) {
                n /= 2;
                b = b * b;
            }
            n -= 1;
            result = result * b;
        }
        return e < 0 ? 1 / result : result;
    }
    // A negative base with a non-integral exponent has no real power: NaN, not a trap.
    if (b < 0) return std::numeric_limits<WorkingFloat>::quiet_NaN();
    return std::exp(e * std::log(b));
}

WorkingFloat EvaluateFormula(const compil* f)
{
    StepAccumulator acc;
    acc.operand = 0;
    acc.term = 0;
    acc.total = 0;
    acc.functionScratch = f->functionScratch;
    for (int32_t i = 0; i < f->stop; ++i) f->fonction[i](f->donnee[i], acc);
    return acc.total + acc.term;
}

int16_t CountReferences(const void* address, const compil* f)
{
    long count = 0;
    if (f == nullptr) return 0;
    for (int32_t i = 0; i < f->stop; ++i) {
        if (f->fonction[i] == &StepSubFormula) {
            if (f->donnee[i] != nullptr) count += CountReferences(address, static_cast<const compil*>(f->donnee[i]));
        } else if (f->donnee[i] == address) {
            count += 1;
        }
        if (count > 32767) return 32767;
    }
    return static_cast<int16_t>(count);
}

void FreeFormula(compilptr f)
{
    if (f == nullptr) return;
    for (int32_t i = 0; i < f->stop; ++i)
        if (f->fonction[i] == &StepSubFormula && f->donnee[i] != nullptr)
            FreeFormula(const_cast<compil*>(static_cast<const compil*>(f->donnee[i])));
    delete f;
}

compilptr NewFormula() { return new (std::nothrow) compil(); }

}  // namespace tessuvan
