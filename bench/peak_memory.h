// Peak resident memory of a workload, measured in a child process of its own so that no
// other workload's pages count: the benchmark executable runs itself with --run-workload NAME,
// and the child reports the high-water mark of its resident set (VmHWM) before it exits.
#pragma once

#include <string>

namespace tessuvan_bench {

// The calling process's own high-water mark of resident memory, in KiB (0 if unknown).
long OwnPeakResidentKiB();

// Runs this executable with --run-workload name and returns the peak it reports, in KiB;
// -1 when the child failed.
long PeakResidentKiBOf(const std::string& name);

}  // namespace tessuvan_bench
