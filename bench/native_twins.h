// The native twins of S1: the same population and individual simulations that one Simulation
// call performs, with the same steps in the same order of operations, but with the model
// written directly in C++ (two species, A = [[-ka, 0], [ka, -ke]], no free term, output F2/V)
// instead of compiled formulas. Parameter values and times are the host's 32-bit floats,
// widened, exactly as the engine sees them; so the predictions agree with the engine's to the
// last bit and their checksums can be compared.
#pragma once

#include <vector>

#include "workloads.h"

namespace tessuvan_bench {

enum class TwinMethod { RungeKutta4, ChuBerman };

struct TwinPredictions {
    // One entry per data record, in file order (individual by individual, point by point).
    std::vector<double> population;
    std::vector<double> individual;
};

// Simulates S1 for the population values and then for every individual's own values.
// predictions must be sized by SizeTwinPredictions; nothing is allocated here.
void RunNativeTwin(TwinMethod method, const Population& population, float precision, TwinPredictions& predictions);
void SizeTwinPredictions(const Population& population, TwinPredictions& predictions);

}  // namespace tessuvan_bench
