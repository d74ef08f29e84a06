// What the population fit and the individual fit share: the check of a call, the working
// copies of the host records, the finite-difference constants, the step limit, the convergence
// test and the list of the parameters a step adjusts.
#pragma once

#include <cstdint>
#include <memory>

#include "library/library_state.h"
#include "library/model_store.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// Which derivatives a step uses: fresh forward differences, or the previous ones corrected by
// the secant (rank-one) update from the step just applied.
enum class StepMode { FiniteDifferences = 0, SecantUpdate = 1 };

// Whether a step is applied to the values (value + dP) or taken back (value − dP).
enum class Direction { Apply, Undo };

// Forward differences perturb a value v by 1 %: S = (y(1.01·v) − y(v))·100 / v.
inline constexpr WorkingFloat kDifferenceFactor = static_cast<WorkingFloat>(1.01L);
inline constexpr WorkingFloat kDifferenceScale = 100;
// No single step moves a value by more than 90 % of itself.
inline constexpr WorkingFloat kStepLimitFraction = static_cast<WorkingFloat>(0.9L);
static_assert(static_cast<double>(1.01L) == 1.01 && static_cast<double>(0.9L) == 0.9,
              "the constants are the nearest values of either working type");

// Whether a fit may run: the records are given, a model is loaded without error and the
// counts are those its store was shaped by (within the capacities). A call that fails this
// reads and writes nothing but the contract code.
bool FitCallIsValid(const LibraryState& state, const BInitials* init, const ParameterTable* table);

// Step 1 of both fits: the working copies of BInitials (counts; the file names stay as loaded)
// and of BFitSet.
void TakeWorkingCopies(LibraryState& state, const BInitials& init, const BFitSet& fit);

// The step limit: x when |x| ≤ 0.9·value (compared with the value itself, sign included) or
// |x| ≤ 1e-130; otherwise a step of magnitude 0.9·|value| in the direction of x.
WorkingFloat LimitedStep(WorkingFloat x, WorkingFloat value);

// The convergence test: tolerance > sumOfSquares / count, strictly.
bool Converged(float tolerance, WorkingFloat sumOfSquares, int32_t count);

// Parameter numbers in increasing order; number[a] occupies row and column a of the equations.
struct FittedParameters {
    int count = 0;
    int number[kMaxAdjustables + 1] = {};
    void Add(int p) { number[++count] = p; }
};

inline bool PopulationFitted(const PAjustable& parameter)
{
    return parameter.PA[0] == FitCodePopulationAndIndividual || parameter.PA[0] == FitCodePopulationOnly;
}

// Parameters with population code 2 or 3.
FittedParameters PopulationFittedParameters(const LibraryState& state);

// Parameters fitted for individual i: code PA[i] 1 or 2 and PV[i] > 1e-130.
FittedParameters IndividualFittedParameters(const LibraryState& state, int i);

// For the length of a fit call: its simulations replay the walks whose inputs have not changed
// since they last ran (library/walk_reuse.h), when fast paths are on and the model's walks
// start afresh.
class ReusingUnchangedWalks {
public:
    explicit ReusingUnchangedWalks(LibraryState& state);
    ~ReusingUnchangedWalks() { state_.walkReuse.active = false; }
    ReusingUnchangedWalks(const ReusingUnchangedWalks&) = delete;
    ReusingUnchangedWalks& operator=(const ReusingUnchangedWalks&) = delete;

private:
    LibraryState& state_;
};

// The scratch store a sensitivity simulation writes into; on exhausted memory the working
// Erreur receives the out-of-memory code and nullptr is returned.
std::unique_ptr<ModelStore> SensitivityScratch(LibraryState& state);

}  // namespace tessuvan
