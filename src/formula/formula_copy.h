// Copies of compiled formulas bound to another set of cells, and what a formula reads.
//
// A compiled formula reads its operands through addresses: cells of the FormulaVariables it
// was compiled against, entries of the constant table, and the result cells of its own nested
// records. A copy for another FormulaVariables (a simulation running beside the first, with
// values of its own) moves every address inside the old variables to the same cell of the
// new ones, and every result cell of a nested record to the copy's own nested record; the
// constant table is shared (it is only read). The copy runs the same steps on the same values,
// so it computes the same results to the last bit.
#pragma once

#include <cstddef>

#include "formula/compiled_formula.h"

namespace tessuvan {

// A copy of f (with all its nested records) reading to's cells where f reads from's; nullptr
// for a null f, and when memory runs out (nothing is kept then). f must be compiled.
compilptr CopyFormulaFor(const compil* f, const FormulaVariables& from, FormulaVariables& to);

// Whether any step of f or of its nested records reads an operand within [first, first + count)
// (count cells of WorkingFloat).
bool ReadsAnyCell(const compil* f, const WorkingFloat* first, std::size_t count);

}  // namespace tessuvan
