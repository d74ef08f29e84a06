// A compiled formula laid out for a tight evaluation loop: one kind code and one operand
// address per step, read by a switch instead of an indirect call per step. It is built from a
// compil record (which stays the owner of every nested record and result cell) and evaluates
// to the same value to the last bit:
// - the cheap steps (set, negate, add, subtract, multiply, divide, load) are done in the loop
//   by the step routines' own arithmetic (step_arithmetic.h) on the same accumulator values;
// - a sub-formula step runs the nested program and stores its value into the nested record's
//   result cell, which the following step reads through its own address, as before;
// - power, logarithm, exponential and any routine that is not one of the eleven are called as
//   they are, with an accumulator holding the loop's values, so their results are theirs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "formula/compiled_formula.h"

namespace tessuvan {

class FlatFormula {
public:
    // The layout of f (compiled) and its nested records; nullptr when out of memory.
    static std::unique_ptr<FlatFormula> Build(const compil* f);

    WorkingFloat Evaluate() const { return Run(0); }

private:
    enum class Kind : uint8_t { Set, Negate, Add, Subtract, Multiply, Divide, Load, SubFormula, Call };
    struct Step {
        Kind kind;
        int32_t nested;          // SubFormula: index of the nested program
        const void* operand;     // the step's operand address (a nested compil for SubFormula)
        StepRoutine routine;     // Call: the routine to call
    };
    struct Program {
        size_t first = 0;        // its steps are steps_[first .. first + count - 1]
        size_t count = 0;
        WorkingFloat* result = nullptr;           // where a nested program's value goes
        WorkingFloat* functionScratch = nullptr;  // as the record's
    };

    int32_t Add(const compil* f);
    WorkingFloat Run(int32_t program) const;

    std::vector<Step> steps_;
    std::vector<Program> programs_;
};

}  // namespace tessuvan
