#include "formula/simplifier.h"

namespace tessuvan {

// Not built yet: the text is compiled as it stands.
void SimplifyFormula(TokenText&, ConstantTable&) {}

}  // namespace tessuvan
