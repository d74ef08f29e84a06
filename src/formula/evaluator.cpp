// The evaluator and its eleven step routines. Every routine first copies the value at its
// operand address into acc.operand (StepPower reads the previous operand before that).
#include <cmath>
#include <new>

#include "formula/compiled_formula.h"

namespace tessuvan {

namespace {

inline WorkingFloat ValueAt(const void* operand) { return *static_cast<const WorkingFloat*>(operand); }

}  // namespace

void StepSet(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    acc.term = acc.operand;
}

void StepNegate(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    acc.term = -acc.operand;
}

void StepAdd(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    acc.total = acc.total + acc.term;
    acc.term = acc.operand;
}

void StepSubtract(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    acc.total = acc.total + acc.term;
    acc.term = -acc.operand;
}

void StepMultiply(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    acc.term = acc.term * acc.operand;
}

// A divisor not above 1e-130 in magnitude gives the large replacement instead of a fault.
void StepDivide(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    if (std::fabs(acc.operand) > ObservationThreshold)
        acc.term = acc.term / acc.operand;
    else
        acc.term = DivisionReplacement;
}

void StepLoad(const void* operand, StepAccumulator& acc) { acc.operand = ValueAt(operand); }

void StepPower(const void* operand, StepAccumulator& acc)
{
    const WorkingFloat base = acc.operand;
    acc.operand = ValueAt(operand);
    *acc.functionScratch = Power(base, acc.operand);
}

// ln of a value not above 1e-130 is taken at 1e-130 (about -299.336).
void StepLn(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    if (acc.operand > ObservationThreshold)
        *acc.functionScratch = std::log(acc.operand);
    else
        *acc.functionScratch = std::log(ObservationThreshold);
}

// exp of a value below 1e-130 in magnitude is exactly 1.
void StepExp(const void* operand, StepAccumulator& acc)
{
    acc.operand = ValueAt(operand);
    if (std::fabs(acc.operand) < ObservationThreshold)
        *acc.functionScratch = 1;
    else
        *acc.functionScratch = std::exp(acc.operand);
}

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
