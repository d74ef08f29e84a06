// Work split into groups that run side by side: every group but the last in a thread of its
// own, the last in the calling thread. What the groups compute, and in what order their
// results are used, is the caller's to keep independent of the threads; this only runs them.
#pragma once

#include <functional>

namespace tessuvan {

// The most groups a caller runs at once.
inline constexpr int kMostSideBySideGroups = 8;

// How many processors the calling thread may run on (a host or a job scheduler may have
// narrowed them down); 1 where the build has no threads.
int ProcessorsForThisThread();

// Runs body(g) for g = 0 .. count-1 (count at most kMostSideBySideGroups): each g below
// count-1 in a thread of its own, or in the calling thread when no thread can be started, and
// count-1 in the calling thread after those. Every thread computes in the calling thread's
// floating-point environment (rounding, masked traps, x87 precision). Returns when every
// thread has ended; finished[g] tells whether body(g) returned (false when it threw: nothing
// escapes a thread). Without threads in the build the groups run in order in the calling
// thread.
void RunSideBySide(int count, const std::function<void(int group)>& body, bool finished[]);

}  // namespace tessuvan
