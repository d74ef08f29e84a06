// A compiled formula: a straight-line program of at most 256 steps, each a routine paired with
// the address of the value it reads. Evaluation is one indirect call per step, no parsing.
//
//   a + b*c - d/e   ->  Set a, Add b, Multiply c, Subtract d, Divide e;  value = total + term
//   op a^b          ->  Load a, Power b, op FunctionScratch
//   op (inner)      ->  SubFormula inner, op inner.result
//   op LN(inner)    ->  SubFormula inner, Ln inner.result, op FunctionScratch   (EX likewise)
#pragma once

#include <cstdint>

#include "formula/formula_variables.h"

namespace tessuvan {

inline constexpr int kMaxSteps = 256;

// The evaluator's working record, fresh for every evaluation.
struct StepAccumulator {
    WorkingFloat operand;          // value loaded by the current step
    WorkingFloat term;             // product being built for the current additive term
    WorkingFloat total;            // sum of the finished terms; 0 at the start
    WorkingFloat* functionScratch; // where power, logarithm and exponential leave their value
};

using StepRoutine = void (*)(const void* operand, StepAccumulator& acc);

struct compil {
    StepRoutine fonction[kMaxSteps] = {};  // routine of step i
    const void* donnee[kMaxSteps] = {};    // operand address of step i (a nested compil for
                                           // StepSubFormula)
    int32_t stop = 0;                      // steps 0 .. stop-1 run
    WorkingFloat result = 0;               // value when evaluated as a sub-formula
    WorkingFloat* functionScratch = nullptr;
    // True once CompileFormula finished without error. A record allocated at load but never
    // compiled (the load stopped on an error) counts as absent everywhere.
    bool compiled = false;
};
using compilptr = compil*;

// The eleven step routines.
void StepSet(const void* operand, StepAccumulator& acc);
void StepNegate(const void* operand, StepAccumulator& acc);
void StepAdd(const void* operand, StepAccumulator& acc);
void StepSubtract(const void* operand, StepAccumulator& acc);
void StepMultiply(const void* operand, StepAccumulator& acc);
void StepDivide(const void* operand, StepAccumulator& acc);
void StepLoad(const void* operand, StepAccumulator& acc);
void StepPower(const void* operand, StepAccumulator& acc);
void StepLn(const void* operand, StepAccumulator& acc);
void StepExp(const void* operand, StepAccumulator& acc);
void StepSubFormula(const void* operand, StepAccumulator& acc);

// b^e in the engine's order: e = 0 gives 1; b = 0, e > 0 gives 0; an integral e (|e| below
// 2^31) by square-and-multiply, its reciprocal for e < 0; otherwise exp(e·ln b), which is a
// NaN for b < 0 (never a trap).
WorkingFloat Power(WorkingFloat b, WorkingFloat e);

// Runs steps 0 .. stop-1 of f and returns total + term. f must be a compiled record.
WorkingFloat EvaluateFormula(const compil* f);

// Whether f is a formula that may be evaluated: present and compiled without error.
inline bool FormulaPresent(const compil* f) { return f != nullptr && f->compiled; }

// Steps of f (nested records included) whose operand is address; saturates at 32767.
int16_t CountReferences(const void* address, const compil* f);

// Frees f and every nested record; a null f is nothing to do.
void FreeFormula(compilptr f);

// Allocates an empty, uncompiled record; nullptr when memory is exhausted.
compilptr NewFormula();

}  // namespace tessuvan
