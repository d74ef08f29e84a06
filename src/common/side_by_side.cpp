#include "common/side_by_side.h"

#include <cfenv>
#include <cstddef>

// The Windows builds use a compiler run-time without threads (and may import nothing but the
// system's DLLs): everything runs in the calling thread there.
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define TESSUVAN_THREADS 0
#else
#define TESSUVAN_THREADS 1
#include <thread>
#if defined(__linux__)
#include <sched.h>
#endif
#endif

namespace tessuvan {

namespace {

bool RunGuarded(const std::function<void(int)>& body, int group)
{
    try {
        body(group);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

int ProcessorsForThisThread()
{
#if TESSUVAN_THREADS
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed);
#endif
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : static_cast<int>(processors);
#else
    return 1;
#endif
}

void RunSideBySide(int count, const std::function<void(int group)>& body, bool finished[])
{
    if (count < 1) return;
    if (count > kMostSideBySideGroups) count = kMostSideBySideGroups;
    bool launched[kMostSideBySideGroups] = {};
#if TESSUVAN_THREADS
    // Threads still running when this returns, for whatever reason, are joined first: a thread
    // left joinable would end the process.
    struct Threads {
        std::thread thread[kMostSideBySideGroups];
        ~Threads()
        {
            for (std::thread& t : thread)
                if (t.joinable()) t.join();
        }
    } threads;
    std::fenv_t environment;
    if (std::fegetenv(&environment) == 0) {
        for (int g = 0; g + 1 < count; ++g) {
            try {
                threads.thread[g] = std::thread([&body, &environment, &finished, g] {
                    std::fesetenv(&environment);
                    finished[g] = RunGuarded(body, g);
                });
                launched[g] = true;
            } catch (...) {
                // No thread: the calling thread runs the group below.
            }
        }
    }
#endif
    for (int g = 0; g + 1 < count; ++g)
        if (!launched[g]) finished[g] = RunGuarded(body, g);
    finished[count - 1] = RunGuarded(body, count - 1);
#if TESSUVAN_THREADS
    for (int g = 0; g + 1 < count; ++g)
        if (launched[g]) threads.thread[g].join();
#endif
}

}  // namespace tessuvan
