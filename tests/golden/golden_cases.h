// The cases of the golden corpus: seeded random models over the four methods, fit sequences,
// failing loads, the theophylline example and a population large enough to walk side by side.
// Each case is a list of host calls on a host model of its own; a recorder sees every call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "abi/host_model.h"

namespace tessuvan::golden {

enum class Call { Load, Simulate, FitPopulation, FitIndividual, Release };

struct GoldenCase {
    std::string name;
    // Fills the host model and writes its files (may leave a fault that the load reports).
    std::function<void(tessuvan_host::HostModel&)> build;
    int populationIterations = 0;  // Ajustement_pop calls at most, stopping at Done
    int individualIterations = 0;  // Ajustement_ind calls per individual at most
};

// Every case, in corpus order. The seeds make them the same on every machine and build.
std::vector<GoldenCase> GoldenCases(const std::string& theophyllineCsv);

inline const char* const kMethods[] = {"CHU-BERMAN", "RUNGE-KUTTA QC", "RUNGE-KUTTA 4", "RUNGE-KUTTA 5"};

}  // namespace tessuvan::golden
