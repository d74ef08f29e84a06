#include "formula/formula_copy.h"

#include <functional>

namespace tessuvan {

namespace {

// Whether address lies within the object at base (compared as addresses, never dereferenced).
template <class Object>
bool Within(const void* address, const Object& base)
{
    const std::less_equal<const void*> notAfter;
    const std::less<const void*> before;
    const void* begin = &base;
    const void* end = &base + 1;
    return notAfter(begin, address) && before(address, end);
}

// The same offset from to as address has from from.
template <class Object>
const void* Moved(const void* address, const Object& from, Object& to)
{
    const auto offset = static_cast<const unsigned char*>(address) - reinterpret_cast<const unsigned char*>(&from);
    return reinterpret_cast<unsigned char*>(&to) + offset;
}

// Copies f into a new record; steps reading a nested record's result read the copy's.
compilptr Copy(const compil* f, const FormulaVariables& from, FormulaVariables& to)
{
    compilptr copy = NewFormula();
    if (copy == nullptr) return nullptr;
    copy->stop = f->stop;
    copy->result = f->result;
    copy->compiled = f->compiled;
    copy->functionScratch = f->functionScratch;
    if (Within(f->functionScratch, from))
        copy->functionScratch = static_cast<WorkingFloat*>(const_cast<void*>(Moved(f->functionScratch, from, to)));

    // Nested records are owned by the step that runs them and read by later steps of the same
    // record, so a list of this record's pairs is all the mapping needs.
    const compil* nestedFrom[kMaxSteps];
    compil* nestedTo[kMaxSteps];
    int nestedCount = 0;
    for (int32_t i = 0; i < f->stop; ++i) {
        copy->fonction[i] = f->fonction[i];
        const void* operand = f->donnee[i];
        if (f->fonction[i] == &StepSubFormula) {
            compil* nested = nullptr;
            if (operand != nullptr) {
                nested = Copy(static_cast<const compil*>(operand), from, to);
                if (nested == nullptr) {
                    copy->stop = i;  // FreeFormula releases what was copied so far
                    FreeFormula(copy);
                    return nullptr;
                }
                nestedFrom[nestedCount] = static_cast<const compil*>(operand);
                nestedTo[nestedCount++] = nested;
            }
            copy->donnee[i] = nested;
            continue;
        }
        if (Within(operand, from)) {
            operand = Moved(operand, from, to);
        } else {
            for (int n = 0; n < nestedCount; ++n)
                if (Within(operand, *nestedFrom[n])) {
                    operand = Moved(operand, *nestedFrom[n], *nestedTo[n]);
                    break;
                }
        }
        copy->donnee[i] = operand;
    }
    return copy;
}

}  // namespace

compilptr CopyFormulaFor(const compil* f, const FormulaVariables& from, FormulaVariables& to)
{
    return f == nullptr ? nullptr : Copy(f, from, to);
}

bool ReadsAnyCell(const compil* f, const WorkingFloat* first, std::size_t count)
{
    if (f == nullptr) return false;
    const std::less_equal<const void*> notAfter;
    const std::less<const void*> before;
    for (int32_t i = 0; i < f->stop; ++i) {
        const void* operand = f->donnee[i];
        if (f->fonction[i] == &StepSubFormula) {
            if (ReadsAnyCell(static_cast<const compil*>(operand), first, count)) return true;
        } else if (notAfter(first, operand) && before(operand, first + count)) {
            return true;
        }
    }
    return false;
}

}  // namespace tessuvan
