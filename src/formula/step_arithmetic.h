// What each step of a compiled formula computes, written once for both evaluators: the step
// routines of evaluator.cpp (one indirect call per step on the evaluation's accumulator) and
// the switch of the flat layout (flat_formula.cpp), which keeps the accumulator in locals.
// Each takes x, the value at the step's operand address, and first copies it into
// acc.operand; ApplyPower reads the previous operand before that.
#pragma once

#include <cmath>

#include "formula/compiled_formula.h"

namespace tessuvan {

inline WorkingFloat OperandValue(const void* operand) { return *static_cast<const WorkingFloat*>(operand); }

inline void ApplySet(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    acc.term = acc.operand;
}

inline void ApplyNegate(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    acc.term = -acc.operand;
}

inline void ApplyAdd(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    acc.total = acc.total + acc.term;
    acc.term = acc.operand;
}

inline void ApplySubtract(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    acc.total = acc.total + acc.term;
    acc.term = -acc.operand;
}

inline void ApplyMultiply(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    acc.term = acc.term * acc.operand;
}

// A divisor not above 1e-130 in magnitude gives the large replacement instead of a fault.
inline void ApplyDivide(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    if (std::fabs(acc.operand) > ObservationThreshold)
        acc.term = acc.term / acc.operand;
    else
        acc.term = DivisionReplacement;
}

// x stays in operand as the base of a following power step.
inline void ApplyLoad(StepAccumulator& acc, WorkingFloat x) { acc.operand = x; }

inline void ApplyPower(StepAccumulator& acc, WorkingFloat x)
{
    const WorkingFloat base = acc.operand;
    acc.operand = x;
    *acc.functionScratch = Power(base, acc.operand);
}

// ln of a value not above 1e-130 is taken at 1e-130 (about -299.336).
inline void ApplyLn(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    if (acc.operand > ObservationThreshold)
        *acc.functionScratch = std::log(acc.operand);
    else
        *acc.functionScratch = std::log(ObservationThreshold);
}

// exp of a value below 1e-130 in magnitude is exactly 1.
inline void ApplyExp(StepAccumulator& acc, WorkingFloat x)
{
    acc.operand = x;
    if (std::fabs(acc.operand) < ObservationThreshold)
        *acc.functionScratch = 1;
    else
        *acc.functionScratch = std::exp(acc.operand);
}

}  // namespace tessuvan
