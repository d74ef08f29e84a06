// Exact order statistics of more values than memory should hold, for the percentiles of large
// simulations.
//
// The values are not kept: a pass is a replay of all of them (from the files a simulation
// wrote), each with its group and its columns. The k-th smallest value of a column in a group
// is found by radix selection on the 64-bit key that orders doubles as numbers (the bits, with
// the sign bit set for a positive value and every bit flipped for a negative one):
//   - a pass counts, for every sought rank, the values under its prefix by their next 16 bits
//     (65,536 counters), which fixes 16 more bits of the key and the rank within them;
//   - once the values under a prefix are few (at most kCollectLimit), a pass collects them and
//     the rank is read off them sorted; 64 bits fixed give the value itself.
// Ranks that share a prefix share its counters. Two passes suffice for values spread over more
// than a few per cent of an octave; a group of many equal values takes up to five. Memory: at
// most kCountersPerPass counters and kCollectLimit values at once, whatever the count of values.
//
// The percentile of time_bins.h (type 7) is then formed from the two order statistics it reads,
// by the same arithmetic, so that it is the same double as Percentile of all values in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace tessuvan::simulation {

inline constexpr std::size_t kCollectLimit = std::size_t(1) << 22;  // values held at once (32 MiB)
inline constexpr std::size_t kCountersPerPass = 64;                 // of 65,536 counters (32 MiB)

// One value asked for: the `rank`-th smallest (0-based) of `column` over the group's values.
struct RankQuery {
    int group = 0;
    int column = 0;
    std::uint64_t rank = 0;
};

// Gives every value once to `take(group, values)`: values[c] of column c; a group < 0 is left
// out. Called once per pass; the order of the values may differ from pass to pass.
using ValuePass = std::function<void(const std::function<void(int group, const double* values)>& take)>;

// The values asked for, in the order of `queries`. Every value must be finite; every rank below
// its group's count. `groups` and `columns` bound the group and column numbers; `collectLimit`
// is kCollectLimit but in tests.
std::vector<double> SelectRanks(int groups, int columns, const ValuePass& pass, const std::vector<RankQuery>& queries,
                                std::size_t collectLimit = kCollectLimit);

// The ranks Percentile(values, p) of n values reads: (low, high), high = low when it reads one.
std::pair<std::uint64_t, std::uint64_t> PercentileRanks(std::uint64_t n, double p);
// Percentile(values, p) of n values from the values at those ranks.
double PercentileOfRanks(std::uint64_t n, double p, double low, double high);

}  // namespace tessuvan::simulation
