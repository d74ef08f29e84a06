// Time bins and percentiles, for the summaries of simulations and the visual predictive check.
//
// Percentile p of n values: the sorted values x_0 ≤ ... ≤ x_{n−1} interpolated linearly at
// h = (n − 1)·p,  x_⌊h⌋ + (h − ⌊h⌋)·(x_⌊h⌋+1 − x_⌊h⌋)  (R's default, type 7); NaN when n = 0.
//
// Bins, unless their edges are given: the times sorted are cut into B groups of as equal a
// size as possible, all rows at one time in the same group; B is the number asked for, by
// default the number of distinct times up to 10 (10 or fewer times: a bin for each). Bin b holds the times from its
// lower edge (included) up to the next bin's lower edge (excluded); the last holds its upper edge. A last group that
// starts at the last time (all its rows there) is a bin of its own when it holds at least half a group's rows, its
// upper edge the next double above; a smaller one joins the group before.
#pragma once

#include <vector>

namespace tessuvan::simulation {

constexpr int kDefaultBins = 10;

double Percentile(std::vector<double> values, double p);

// Edges e_0 < e_1 < ... < e_B: the bins of the given times by the rule above (bins = 0: the
// default count). e_b is the first time of bin b, e_B the last time (or the next double above it).
std::vector<double> EqualCountEdges(std::vector<double> times, int bins = 0);

// The bin of a time: b with e_b ≤ t < e_{b+1} (t = e_B in the last); −1 outside.
int BinOf(const std::vector<double>& edges, double time);

}  // namespace tessuvan::simulation
