#include "simulation/order_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <tuple>

namespace tessuvan::simulation {

namespace {

constexpr int kDigitBits = 16;
constexpr std::size_t kDigits = std::size_t(1) << kDigitBits;
constexpr std::uint64_t kSign = std::uint64_t(1) << 63;

// The key whose unsigned order is the order of the doubles (−0 just below +0).
std::uint64_t KeyOf(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & kSign) ? ~bits : bits | kSign;
}

double ValueOf(std::uint64_t key)
{
    const std::uint64_t bits = (key & kSign) ? key & ~kSign : ~key;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A search for one rank: the key's leading `bits` bits found so far, and the rank among the
// values under them.
struct Search {
    std::uint64_t rank = 0;
    std::uint64_t prefix = 0;
    int bits = 0;
    std::uint64_t under = std::numeric_limits<std::uint64_t>::max();  // values under the prefix (not yet counted)
    bool done = false;
    double value = 0;
};

// What one pass does under one prefix of one group's column: counts the next digit of the
// keys, or collects the values.
struct Node {
    int group = 0, column = 0;
    std::uint64_t prefix = 0;
    int bits = 0;
    bool collect = false;
    std::vector<std::uint64_t> counts;
    std::vector<double> values;
    bool sorted = false;
};

bool Under(std::uint64_t key, const Node& node) { return node.bits == 0 || (key >> (64 - node.bits)) == node.prefix; }

}  // namespace

std::vector<double> SelectRanks(int groups, int columns, const ValuePass& pass, const std::vector<RankQuery>& queries,
                                std::size_t collectLimit)
{
    std::vector<Search> searches(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
        if (queries[q].group < 0 || queries[q].group >= groups || queries[q].column < 0 || queries[q].column >= columns)
            throw std::invalid_argument("SelectRanks: a query outside the groups or columns");
        searches[q].rank = queries[q].rank;
    }
    for (;;) {
        // This pass's nodes, within the memory bounds; searches that do not fit wait.
        std::vector<Node> nodes;
        std::map<std::tuple<int, int, int, std::uint64_t>, std::size_t> nodeOf;
        std::vector<std::size_t> assigned(searches.size(), std::size_t(-1));
        std::size_t counting = 0, collected = 0;
        for (std::size_t q = 0; q < searches.size(); ++q) {
            const Search& search = searches[q];
            if (search.done) continue;
            const auto key = std::make_tuple(queries[q].group, queries[q].column, search.bits, search.prefix);
            if (const auto found = nodeOf.find(key); found != nodeOf.end()) {
                assigned[q] = found->second;
                continue;
            }
            const bool collect = search.under <= collectLimit;
            if (collect ? collected > 0 && collected + search.under > collectLimit : counting == kCountersPerPass)
                continue;
            Node node;
            node.group = queries[q].group;
            node.column = queries[q].column;
            node.prefix = search.prefix;
            node.bits = search.bits;
            node.collect = collect;
            if (collect) {
                collected += search.under;
                node.values.reserve(std::size_t(search.under));
            } else {
                ++counting;
                node.counts.assign(kDigits, 0);
            }
            assigned[q] = nodes.size();
            nodeOf.emplace(key, nodes.size());
            nodes.push_back(std::move(node));
        }
        if (nodes.empty()) break;

        std::vector<std::vector<std::size_t>> nodesOf(std::size_t(groups) * std::size_t(columns));
        for (std::size_t n = 0; n < nodes.size(); ++n)
            nodesOf[std::size_t(nodes[n].group) * std::size_t(columns) + std::size_t(nodes[n].column)].push_back(n);
        pass([&](int group, const double* values) {
            if (group < 0 || group >= groups) return;
            for (int c = 0; c < columns; ++c) {
                const std::vector<std::size_t>& here =
                    nodesOf[std::size_t(group) * std::size_t(columns) + std::size_t(c)];
                if (here.empty()) continue;
                const std::uint64_t key = KeyOf(values[c]);
                for (const std::size_t n : here) {
                    Node& node = nodes[n];
                    if (!Under(key, node)) continue;
                    if (node.collect)
                        node.values.push_back(values[c]);
                    else
                        ++node.counts[(key >> (64 - kDigitBits - node.bits)) & (kDigits - 1)];
                }
            }
        });

        for (std::size_t q = 0; q < searches.size(); ++q) {
            if (assigned[q] == std::size_t(-1)) continue;
            Search& search = searches[q];
            Node& node = nodes[assigned[q]];
            if (node.collect) {
                if (!node.sorted)
                    std::sort(node.values.begin(), node.values.end(),
                              [](double a, double b) { return KeyOf(a) < KeyOf(b); });
                node.sorted = true;
                if (search.rank >= node.values.size())
                    throw std::runtime_error("SelectRanks: fewer values than the rank asked for");
                search.value = node.values[std::size_t(search.rank)];
                search.done = true;
                continue;
            }
            std::uint64_t below = 0;
            std::size_t digit = 0;
            while (digit < kDigits && below + node.counts[digit] <= search.rank) below += node.counts[digit++];
            if (digit == kDigits) throw std::runtime_error("SelectRanks: fewer values than the rank asked for");
            search.rank -= below;
            search.prefix = (search.prefix << kDigitBits) | digit;
            search.bits += kDigitBits;
            search.under = node.counts[digit];
            if (search.bits == 64) {
                search.value = ValueOf(search.prefix);
                search.done = true;
            }
        }
    }
    std::vector<double> values;
    for (const Search& search : searches) values.push_back(search.value);
    return values;
}

std::pair<std::uint64_t, std::uint64_t> PercentileRanks(std::uint64_t n, double p)
{
    const double h = double(n - 1) * p;
    const auto low = std::uint64_t(std::floor(h));
    if (low + 1 >= n) return {n - 1, n - 1};
    return {low, low + 1};
}

double PercentileOfRanks(std::uint64_t n, double p, double low, double high)
{
    // As Percentile (time_bins.cpp): x_low + (h − low)·(x_low+1 − x_low), or the last value.
    const double h = double(n - 1) * p;
    const auto at = std::uint64_t(std::floor(h));
    if (at + 1 >= n) return high;
    return low + (h - double(at)) * (high - low);
}

}  // namespace tessuvan::simulation
