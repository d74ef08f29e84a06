// The cells that formulas read. Compiled formulas hold the addresses of these cells, so an
// instance must never move while any formula compiled against it exists.
#pragma once

#include <array>
#include <string>

#include "common/numeric.h"

namespace tessuvan {

// Token text: the tokenizer's output, the simplifier's and the compiler's input; how it is
// written is in token_text.h.
using TokenText = std::u16string;

// Species amounts, 1-based: entries 1 .. 20 (index 0 unused).
using AmountVector = std::array<WorkingFloat, kMaxSpecies + 1>;

// Entries 1 .. kConstantCapacity hold constants; entry ConstantCount is kept at 0.
inline constexpr int kConstantCapacity = 158;

struct ConstantTable {
    WorkingFloat entry[kConstantCapacity + 2] = {};  // index 0 unused
    int ConstantCount = 1;                            // one more than the entries in use

    void Clear() { *this = ConstantTable{}; }
};

// Every variable a formula token can name, 1-based as the model numbers them.
struct FormulaVariables {
    WorkingFloat AdjustableValues[kMaxAdjustables + 1] = {};  // token A
    WorkingFloat PParameters[kMaxPParameters + 1] = {};       // token P
    WorkingFloat QParameters[kMaxQParameters + 1] = {};       // token Q
    AmountVector SpeciesAmounts = {};                         // token F
    WorkingFloat CurrentTime = 0;                             // token T
    // Written by the power, logarithm and exponential steps, read by the step after them.
    WorkingFloat FunctionScratch = 0;
};

}  // namespace tessuvan
