// One iteration of a fit level (fit_level.h): at most two damped Gauss–Newton steps, the
// first from finite-difference derivatives, the second from the same derivatives after the
// secant correction, each applied and simulated; the second is undone when it increased the
// level's objective. Then the values are handed back in the Table and the host is told whether
// the mean squared relative change of both steps together,
//   Σ_fitted ((value − value at entry) / value at entry)² / ConvergenceCount,
// has fallen below Tolerance.
//
// A step that leaves a non-zero working Erreur ends the iteration at once: Fit.Erreur
// receives it, the values already applied stay and Done is not written.
#pragma once

#include <array>

#include "fitting/fit_level.h"
#include "library/library_state.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// The host's records of a fit call, handed on to every Simulation of it.
struct FitCall {
    BInitials* init = nullptr;
    BFitSet* fit = nullptr;
    ParameterTable* table = nullptr;
};

enum class IterationEnd {
    Stopped,     // a step left a non-zero working Erreur, now in Fit.Erreur; Done not written
    Continuing,  // Done = 0
    Converged,   // Done = −1: the relative change is below Tolerance
};

// PV[column] of parameters 1..count, as they were at the start of the call.
using ValueSnapshot = std::array<WorkingFloat, kMaxAdjustables + 1>;
ValueSnapshot SnapshotValues(const LibraryState& state, int column, int count);

// The iteration from the values of the last simulation, whose predictions the store holds.
template <FitLevel Level>
IterationEnd GaussNewtonIteration(const Level& level, const FitCall& call, const ValueSnapshot& atEntry);

}  // namespace tessuvan
