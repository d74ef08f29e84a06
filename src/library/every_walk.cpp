// A whole-population simulation with its walks side by side.
//
// When every walk starts from cells it sets itself (WalksStartAfresh), a walk's effect on the
// store and the state is a function of its inputs, and a record of it can be replayed
// (walk_reuse.h). The walks that must run are then split into consecutive groups, each run in
// a thread of its own on a copy of the state, writing into a scratch store and keeping a
// record; the last group runs in the calling thread, on the state itself. Afterwards every
// walk is replayed from its record in the sequential order (population walks, then the
// individuals' own), so the store and the state end exactly as the sequential simulation
// leaves them. A walk whose record is missing (out of memory) simply runs in its place in
// that order.
#include <memory>
#include <new>
#include <vector>

#include "library/every_walk.h"

#include "common/side_by_side.h"
#include "library/drivers.h"
#include "library/side_by_side_groups.h"
#include "library/state_copy.h"
#include "library/walk_independence.h"

namespace tessuvan {

namespace {

// Below this many points to walk, starting threads and copying the state costs about as much
// as the walks themselves.
constexpr long kPointsWorthThreads = 1000;

struct OrderedWalk {
    WalkLevel level;
    int a;
    WalkRecord* record;
    bool reused;  // its record was kept from an earlier run with the same inputs
};

struct Group {
    LibraryState* copy = nullptr;  // the state's side-by-side copy
    std::unique_ptr<ModelStore> scratch;
    size_t first = 0;  // pending walks [first, last)
    size_t last = 0;
};

void SimulateInOrder(LibraryState& state, ModelStore& store)
{
    SimulatePopulation(state, store);
    for (int i = 1; i <= state.init.record.NIndividuals; ++i) SimulateIndividual(state, i, store);
}

// Whether the walks of this simulation may run side by side.
bool SideBySideAllowed(LibraryState& state, const ModelStore& store)
{
    if (!state.fastPaths || &store != state.store.get() || SideBySideGroups(state, 2) <= 1) return false;
    return WalksStartAfresh(state, store);
}

}  // namespace

void SimulateEveryWalk(LibraryState& state, ModelStore& store)
{
    if (!SideBySideAllowed(state, store)) {
        SimulateInOrder(state, store);
        return;
    }
    const int individuals = state.init.record.NIndividuals;
    WalkReuse& reuse = state.walkReuse;
    std::vector<OrderedWalk> order;      // reserved in full: pending points into it
    std::vector<OrderedWalk*> pending;
    bool room = reuse.MakeRoom(individuals);
    try {
        order.reserve(2 * static_cast<size_t>(individuals));
        pending.reserve(2 * static_cast<size_t>(individuals));
    } catch (const std::bad_alloc&) {
        room = false;
    }
    if (!room) {
        SimulateInOrder(state, store);
        return;
    }

    // The walks in the sequential order; those without a record for their present inputs
    // (every one, outside a fit) must run.
    long points = 0;
    for (const WalkLevel level : {WalkLevel::Population, WalkLevel::Individual}) {
        for (int a = 1; a <= individuals; ++a) {
            if (!WalkSimulable(state, a, store)) continue;
            WalkRecord& record = reuse.records[level == WalkLevel::Individual ? 1 : 0][static_cast<size_t>(a)];
            const WalkInputs inputs = InputsOfWalk(state, a, store, level);
            const bool reused = reuse.active && record.valid && record.inputs.Same(inputs);
            if (!reused) record.Start(inputs);
            order.push_back(OrderedWalk{level, a, &record, reused});
            if (!reused) {
                pending.push_back(&order.back());
                points += store.PointCount(a);
            }
        }
    }

    const int groupCount = SideBySideGroups(state, static_cast<int>(pending.size()));
    const bool worthIt = state.threadGroups > 0 || points >= kPointsWorthThreads;

    if (groupCount > 1 && worthIt) {
        // Copies and scratches before any thread starts; without memory for them, the walks
        // run in order below.
        Group groups[kMostSideBySideGroups];
        const int last = groupCount - 1;
        bool ready = true;
        for (int g = 0; g < groupCount && ready; ++g) {
            if (g < last) groups[g].copy = SideBySideCopy(state, g);
            if (g < last && !groups[g].copy) ready = false;
            if (ready) groups[g].scratch = store.SimulationCopy();
            ready = ready && groups[g].scratch != nullptr;
            const size_t count = pending.size();
            groups[g].first = count * static_cast<size_t>(g) / static_cast<size_t>(groupCount);
            groups[g].last = count * static_cast<size_t>(g + 1) / static_cast<size_t>(groupCount);
        }
        if (ready) {
            bool finished[kMostSideBySideGroups] = {};
            RunSideBySide(
                groupCount,
                [&](int g) {
                    LibraryState& simulator = g == last ? state : *groups[g].copy;
                    for (size_t w = groups[g].first; w < groups[g].last; ++w)
                        RunWalk(simulator, pending[w]->a, *groups[g].scratch, pending[w]->level, pending[w]->record);
                },
                finished);
            // A record left invalid by a group that did not finish makes its walk run below.
            for (int g = 0; g < groupCount; ++g)
                if (!finished[g])
                    for (size_t w = groups[g].first; w < groups[g].last; ++w) pending[w]->record->valid = false;
        }
    }

    // Everything in the sequential order: recorded walks replayed, the others run here.
    for (const OrderedWalk& walk : order) {
        if (walk.record->valid) {
            ReplayWalkRecord(state, walk.a, store, walk.level, *walk.record);
            if (walk.reused) ++reuse.replayed;
        } else {
            walk.record->Start(walk.record->inputs);
            RunWalk(state, walk.a, store, walk.level, walk.record);
        }
    }
}

}  // namespace tessuvan
