// The numeric ground every subsystem stands on: the working type of this build, its capacities,
// the thresholds the whole engine shares, and the saturating addition of error codes.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "tessuvan/tessuvan.h"

namespace tessuvan {

using WorkingFloat = ::TessuvanWorkingFloat;

// A decimal literal of the working type: the nearest long double in the 32-bit build, the
// nearest double in the 64-bit build (never a double rounded again, or the reverse).
#if defined(TESSUVAN_BUILD_32)
#define TESSUVAN_WF(literal) literal##L
#else
#define TESSUVAN_WF(literal) literal
#endif

inline constexpr int kMaxIndividuals = ::MaxIndividuals;
inline constexpr int kMaxAdjustables = ::MaxAdjustables;
inline constexpr int kMaxPoints = ::MaxPoints;
inline constexpr int kMaxOutputs = ::MaxOutputs;
inline constexpr int kMaxSpecies = ::MaxSpecies;
inline constexpr int kMaxInterrupts = ::MaxInterrupts;
inline constexpr int kMaxPParameters = ::MaxPParameters;
inline constexpr int kMaxQParameters = ::MaxQParameters;

// A magnitude not above 1e-130 (TESSUVAN_OBSERVATION_THRESHOLD of the public header) counts as
// absent or zero: observations, residuals, deviations, divisors and pivots alike. The literal
// has the build's own type, so it is the nearest value
// of that type (64-bit: bit pattern 0x24F1BEBDF578B2F4).
#define TESSUVAN_LONG_LITERAL_(x) x##L
#define TESSUVAN_LONG_LITERAL(x) TESSUVAN_LONG_LITERAL_(x)
#if defined(TESSUVAN_BUILD_32)
inline constexpr WorkingFloat ObservationThreshold = TESSUVAN_LONG_LITERAL(TESSUVAN_OBSERVATION_THRESHOLD);
// What a division by a value not above the threshold yields instead of a fault.
inline constexpr WorkingFloat DivisionReplacement = 1e130L;
// The 32-bit build takes a population value as it is, however small (population simulation).
inline constexpr bool kTinyPopulationValueUsesIndividual = false;
#else
inline constexpr WorkingFloat ObservationThreshold = TESSUVAN_OBSERVATION_THRESHOLD;
// One unit in the last place below the double nearest to 1e130 (prints 9.999999999999999e129).
inline constexpr WorkingFloat DivisionReplacement = std::bit_cast<double>(0x5AECDA62055B2D9DULL);
// The 64-bit build takes the individual's value when the population value is below 1e-130.
inline constexpr bool kTinyPopulationValueUsesIndividual = true;
#endif

// Error codes are 16-bit and add up; the sum saturates so that errors never cancel to 0.
inline void AddCode(int16_t& erreur, long amount)
{
    long sum = static_cast<long>(erreur) + amount;
    if (sum > std::numeric_limits<int16_t>::max()) sum = std::numeric_limits<int16_t>::max();
    if (sum < std::numeric_limits<int16_t>::min()) sum = std::numeric_limits<int16_t>::min();
    erreur = static_cast<int16_t>(sum);
}

}  // namespace tessuvan
