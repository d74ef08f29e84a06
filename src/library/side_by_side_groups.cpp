#include "library/side_by_side_groups.h"

#include <algorithm>

#include "common/side_by_side.h"

namespace tessuvan {

int SideBySideGroups(const EngineOptions& options, int count)
{
    const int wanted = options.threadGroups > 0 ? options.threadGroups : ProcessorsForThisThread();
    return std::max(std::min({wanted, count, kMostSideBySideGroups}), 1);
}

}  // namespace tessuvan
