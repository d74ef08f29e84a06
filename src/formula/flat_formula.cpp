#include "formula/flat_formula.h"

#include <new>

#include "formula/step_arithmetic.h"

namespace tessuvan {

std::unique_ptr<FlatFormula> FlatFormula::Build(const compil* f)
{
    std::unique_ptr<FlatFormula> flat(new (std::nothrow) FlatFormula());
    if (!flat) return nullptr;
    try {
        flat->Add(f);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return flat;
}

// Programs are numbered in the order they are met; a nested program's steps come after its
// parent's, so the parent's block is reserved first and filled as the nested ones are added.
int32_t FlatFormula::Add(const compil* f)
{
    const int32_t index = static_cast<int32_t>(programs_.size());
    programs_.push_back(Program{});
    std::vector<Step> own;
    own.reserve(static_cast<size_t>(f->stop));
    for (int32_t i = 0; i < f->stop; ++i) {
        const StepRoutine routine = f->fonction[i];
        Step step{Kind::Call, -1, f->donnee[i], routine};
        if (routine == &StepSet) step.kind = Kind::Set;
        else if (routine == &StepNegate) step.kind = Kind::Negate;
        else if (routine == &StepAdd) step.kind = Kind::Add;
        else if (routine == &StepSubtract) step.kind = Kind::Subtract;
        else if (routine == &StepMultiply) step.kind = Kind::Multiply;
        else if (routine == &StepDivide) step.kind = Kind::Divide;
        else if (routine == &StepLoad) step.kind = Kind::Load;
        else if (routine == &StepSubFormula && f->donnee[i] != nullptr) {
            step.kind = Kind::SubFormula;
            step.nested = Add(static_cast<const compil*>(f->donnee[i]));
        }
        own.push_back(step);
    }
    Program& program = programs_[static_cast<size_t>(index)];
    program.first = steps_.size();
    program.count = own.size();
    program.result = const_cast<WorkingFloat*>(&f->result);
    program.functionScratch = f->functionScratch;
    steps_.insert(steps_.end(), own.begin(), own.end());
    return index;
}

WorkingFloat FlatFormula::Run(int32_t index) const
{
    const Program& program = programs_[static_cast<size_t>(index)];
    // The accumulator is a local whose address never leaves this function, so that it can stay
    // in registers; a called routine gets a copy and hands it back.
    StepAccumulator acc{0, 0, 0, program.functionScratch};
    const Step* step = steps_.data() + program.first;
    const Step* const end = step + program.count;
    for (; step != end; ++step) {
        switch (step->kind) {
            case Kind::Set: ApplySet(acc, OperandValue(step->operand)); break;
            case Kind::Negate: ApplyNegate(acc, OperandValue(step->operand)); break;
            case Kind::Add: ApplyAdd(acc, OperandValue(step->operand)); break;
            case Kind::Subtract: ApplySubtract(acc, OperandValue(step->operand)); break;
            case Kind::Multiply: ApplyMultiply(acc, OperandValue(step->operand)); break;
            case Kind::Divide: ApplyDivide(acc, OperandValue(step->operand)); break;
            case Kind::Load: ApplyLoad(acc, OperandValue(step->operand)); break;
            case Kind::SubFormula:
                *programs_[static_cast<size_t>(step->nested)].result = Run(step->nested);
                break;
            case Kind::Call: {
                StepAccumulator called = acc;
                step->routine(step->operand, called);
                acc = called;
                break;
            }
        }
    }
    return acc.total + acc.term;
}

}  // namespace tessuvan
