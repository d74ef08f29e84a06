// The nonparametric bootstrap of a population fit: samples of the individuals drawn with
// replacement, and the spread of the estimates refitted to them.
//
// Sample s (numbered 1..N over the whole run, whatever shard or thread fits it) draws from the
// stream (seed, s, 0) of random_stream.h, so that any split of the samples draws the same ones.
// Individuals are cut into strata (one stratum without --stratify); stratum by stratum, in the
// order in which each first appears, it draws as many individuals as the stratum holds, each
// the j-th of the stratum with j = ⌊u·n⌋ (at most n − 1) for the next uniform u of the stream,
// so that every sample keeps the strata's sizes.
//
// The summary of an estimate over the samples that ended with estimates: the median and the
// 2.5th and 97.5th percentiles (type 7, time_bins.h), the 95 % percentile interval.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simulation/replicates.h"

namespace tessuvan::simulation {

// The samples of one shard: the K-th of M contiguous slices of 1..N (ShardReplicates).
using BootstrapRange = ReplicateRange;

// The individuals of sample `sample` (0-based indices into the data set's individuals, in the
// order drawn); stratum[i] is individual i's stratum, any integers.
std::vector<std::size_t> ResampledIndividuals(std::uint64_t seed, int sample, const std::vector<int>& stratum);

struct SpreadSummary {
    double median = 0, lower = 0, upper = 0;  // 50th, 2.5th and 97.5th percentiles; NaN of no values
    std::size_t count = 0;                    // the values summarised
};
// Of the finite values (a failed sample's NaN left out).
SpreadSummary SummaryOf(const std::vector<double>& values);

}  // namespace tessuvan::simulation
