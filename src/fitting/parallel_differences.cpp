#include "fitting/parallel_differences.h"

#include <algorithm>
#include <cfenv>
#include <cstddef>
#include <memory>
#include <new>

#include "library/state_copy.h"

// The Windows builds use a compiler run-time without threads (and may import nothing but the
// system's DLLs): the groups run one after the other there.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define TESSUVAN_DIFFERENCE_THREADS 0
#else
#define TESSUVAN_DIFFERENCE_THREADS 1
#include <thread>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace tessuvan {

namespace {

// At most this many simulations run at once: beyond it the copies cost more memory than the
// threads save time on the machines a fit runs on.
constexpr int kMostGroups = 8;

#if TESSUVAN_DIFFERENCE_THREADS
// The processors this thread may run on (a host or a job scheduler may have narrowed them
// down), else those of the machine.
int Processors()
{
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed);
#endif
    return static_cast<int>(std::thread::hardware_concurrency());
}
#endif

// Parameters fitted.number[first .. last] on simulator, in order.
void RunGroup(LibraryState& simulator, ModelStore& scratch, const FittedParameters& fitted, int first, int last,
              const DifferenceColumn& column)
{
    for (int a = first; a <= last; ++a) column(simulator, scratch, fitted.number[a]);
}

struct Group {
    int first = 0;
    int last = 0;
    std::unique_ptr<LibraryState> copy;
    std::unique_ptr<ModelStore> scratch;
#if TESSUVAN_DIFFERENCE_THREADS
    std::thread thread;
#endif
    bool ran = false;  // set by its thread once every column is written

    Group() = default;
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;
#if TESSUVAN_DIFFERENCE_THREADS
    // Whatever happens in the calling thread, no thread outlives its group (a thread still
    // joinable at destruction would end the process).
    ~Group()
    {
        if (thread.joinable()) thread.join();
    }
#endif
};

// Whether the simulations of the differences are independent of one another: the walks start
// afresh, and no fitted parameter has a definition (a walk rewrites a defined value, so that
// parameter's difference would start from what the simulation before it left).
bool DifferencesIndependent(const LibraryState& state, const FittedParameters& fitted)
{
    for (int a = 1; a <= fitted.count; ++a)
        if (state.AdjustableTable[fitted.number[a]].PE != nullptr) return false;
    return WalksStartAfresh(state, *state.store);
}

}  // namespace

int DifferenceGroups([[maybe_unused]] const LibraryState& state, [[maybe_unused]] int count)
{
#if TESSUVAN_DIFFERENCE_THREADS
    const int wanted = state.differenceGroups > 0 ? state.differenceGroups : Processors();
    return std::max(std::min({wanted, count, kMostGroups}), 1);
#else
    return 1;
#endif
}

void ForEachDifference(LibraryState& state, const FittedParameters& fitted, const DifferenceColumn& column)
{
    const std::unique_ptr<ModelStore> scratch = SensitivityScratch(state);
    if (!scratch) return;
    const int count = fitted.count;
    const int groupCount = DifferenceGroups(state, count);
    if (groupCount <= 1 || !DifferencesIndependent(state, fitted)) {
        RunGroup(state, *scratch, fitted, 1, count, column);
        return;
    }

    // Consecutive groups of nearly equal size; the last one is the calling thread's.
    const std::unique_ptr<Group[]> groups(new (std::nothrow) Group[static_cast<size_t>(groupCount)]);
    if (!groups) {
        RunGroup(state, *scratch, fitted, 1, count, column);
        return;
    }
    const size_t others = static_cast<size_t>(groupCount) - 1;  // groups of other threads
    for (int g = 0, first = 1; g < groupCount; ++g) {
        const int size = count / groupCount + (g < count % groupCount ? 1 : 0);
        groups[static_cast<size_t>(g)].first = first;
        groups[static_cast<size_t>(g)].last = first + size - 1;
        first += size;
    }

    // Copies and scratches are made before any thread starts: the state is not read by one
    // thread while another changes it, and the threads allocate nothing.
    const Group& own = groups[others];
    for (size_t g = 0; g < others; ++g) {
        groups[g].copy = CopyForSimulation(state);
        if (groups[g].copy) groups[g].scratch = state.store->SimulationCopy();
    }

    bool launched[kMostGroups] = {};
#if TESSUVAN_DIFFERENCE_THREADS
    // Each thread computes as the calling one does: same rounding, same (masked) traps, same
    // x87 precision.
    std::fenv_t environment;
    const bool environmentRead = std::fegetenv(&environment) == 0;
    for (size_t g = 0; g < others; ++g) {
        Group& group = groups[g];
        if (!group.copy || !group.scratch || !environmentRead) continue;
        try {
            group.thread = std::thread([&group, &fitted, &column, &environment] {
                std::fesetenv(&environment);
                try {
                    RunGroup(*group.copy, *group.scratch, fitted, group.first, group.last, column);
                    group.ran = true;
                } catch (...) {
                    // Left to the calling thread: nothing may escape a thread.
                }
            });
            launched[g] = true;
        } catch (...) {
            // No thread: the calling thread runs the group below.
        }
    }
#endif

    // Groups without a thread run here, on their copy when they have one; the calling thread's
    // own group comes last, so the state ends as the last parameter's simulation leaves it.
    for (size_t g = 0; g < others; ++g) {
        Group& group = groups[g];
        if (launched[g]) continue;
        if (group.copy && group.scratch)
            RunGroup(*group.copy, *group.scratch, fitted, group.first, group.last, column);
        else
            RunGroup(state, *scratch, fitted, group.first, group.last, column);
    }
    RunGroup(state, *scratch, fitted, own.first, own.last, column);

#if TESSUVAN_DIFFERENCE_THREADS
    // A thread that could not finish (it cannot allocate or throw, but nothing is taken on
    // trust) leaves its group to the state, and the last group runs again after it.
    bool rerun = false;
    for (size_t g = 0; g < others; ++g) {
        Group& group = groups[g];
        if (!launched[g]) continue;
        group.thread.join();
        if (group.ran) continue;
        RunGroup(state, *scratch, fitted, group.first, group.last, column);
        rerun = true;
    }
    if (rerun) RunGroup(state, *scratch, fitted, own.first, own.last, column);
#endif
}

}  // namespace tessuvan
