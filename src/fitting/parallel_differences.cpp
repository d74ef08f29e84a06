#include "fitting/parallel_differences.h"

#include <memory>
#include <new>

#include "common/side_by_side.h"
#include "library/side_by_side_groups.h"
#include "library/state_copy.h"
#include "library/walk_independence.h"

namespace tessuvan {

namespace {

// Parameters fitted.number[first .. last] on simulator, in order.
void RunGroup(LibraryState& simulator, ModelStore& scratch, const FittedParameters& fitted, int first, int last,
              const DifferenceColumn& column)
{
    for (int a = first; a <= last; ++a) column(simulator, scratch, fitted.number[a]);
}

struct Group {
    int first = 0;
    int last = 0;
    LibraryState* copy = nullptr;  // the state's side-by-side copy
    std::unique_ptr<ModelStore> scratch;
};

// Whether the simulations of the differences are independent of one another: the walks start
// afresh, and no fitted parameter has a definition (a walk rewrites a defined value, so that
// parameter's difference would start from what the simulation before it left).
bool DifferencesIndependent(const LibraryState& state, const FittedParameters& fitted)
{
    for (int a = 1; a <= fitted.count; ++a)
        if (state.AdjustableDefinitions[fitted.number[a]].PE != nullptr) return false;
    return WalksStartAfresh(state, *state.store);
}

}  // namespace

void ForEachDifference(LibraryState& state, const FittedParameters& fitted, const DifferenceColumn& column)
{
    const std::unique_ptr<ModelStore> scratch = SensitivityScratch(state);
    if (!scratch) return;
    const int count = fitted.count;
    const int groupCount = SideBySideGroups(state, count);
    if (groupCount <= 1 || !DifferencesIndependent(state, fitted)) {
        RunGroup(state, *scratch, fitted, 1, count, column);
        return;
    }

    // Consecutive groups of nearly equal size; the last one is the calling thread's, on the
    // state itself, so that the state ends as the last parameter's simulation leaves it.
    Group groups[kMostSideBySideGroups];
    const int last = groupCount - 1;
    for (int g = 0, first = 1; g < groupCount; ++g) {
        const int size = count / groupCount + (g < count % groupCount ? 1 : 0);
        groups[g].first = first;
        groups[g].last = first + size - 1;
        first += size;
    }
    // Copies and scratches are made before any thread starts: the state is not read by one
    // thread while another changes it, and the threads allocate nothing. Without memory for
    // them the differences run in order.
    for (int g = 0; g < last; ++g) {
        groups[g].copy = SideBySideCopy(state, g);
        if (groups[g].copy) groups[g].scratch = state.store->SimulationCopy();
        if (!groups[g].scratch) {
            RunGroup(state, *scratch, fitted, 1, count, column);
            return;
        }
    }

    bool finished[kMostSideBySideGroups] = {};
    RunSideBySide(
        groupCount,
        [&](int g) {
            Group& group = groups[g];
            if (g == last)
                RunGroup(state, *scratch, fitted, group.first, group.last, column);
            else
                RunGroup(*group.copy, *group.scratch, fitted, group.first, group.last, column);
        },
        finished);

    // A group that could not finish (nothing in it allocates or throws, but nothing is taken
    // on trust) runs again on the state, and the last group after it.
    bool rerun = false;
    for (int g = 0; g <= last; ++g) {
        if (finished[g]) continue;
        RunGroup(state, *scratch, fitted, groups[g].first, groups[g].last, column);
        rerun = true;
    }
    if (rerun) RunGroup(state, *scratch, fitted, groups[last].first, groups[last].last, column);
}

}  // namespace tessuvan
