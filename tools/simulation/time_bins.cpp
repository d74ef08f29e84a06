#include "simulation/time_bins.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessuvan::simulation {

double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const double h = double(values.size() - 1) * p;
    const auto low = std::size_t(std::floor(h));
    if (low + 1 >= values.size()) return values.back();
    return values[low] + (h - double(low)) * (values[low + 1] - values[low]);
}

std::vector<double> EqualCountEdges(std::vector<double> times, int bins)
{
    std::sort(times.begin(), times.end());
    if (times.empty()) return {};
    std::vector<double> distinct = times;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const std::size_t count = bins > 0 ? std::size_t(bins) : std::min<std::size_t>(kDefaultBins, distinct.size());
    if (bins <= 0 && distinct.size() > 1 && distinct.size() <= std::size_t(kDefaultBins)) {
        // As many bins as times (a design of nominal times): each time a bin of its own, whatever
        // its count, the last closed by the next double above it.
        distinct.push_back(std::nextafter(distinct.back(), std::numeric_limits<double>::infinity()));
        return distinct;
    }
    // Row r (0-based, sorted) belongs to group ⌊r·B/n⌋; a group starts at its first row's time,
    // or, when that time belongs to the group before (ties stay together), at its first later one.
    std::vector<double> edges;
    const std::size_t n = times.size();
    bool pending = false;
    for (std::size_t r = 0; r < n; ++r) {
        if (r == 0 || (r * count / n) != ((r - 1) * count / n)) pending = true;
        if (pending && (edges.empty() || times[r] > edges.back())) {
            edges.push_back(times[r]);
            pending = false;
        }
    }
    if (times.back() > edges.back() || edges.size() == 1) {
        edges.push_back(times.back());
    } else if (2 * count * std::size_t(times.end() - std::lower_bound(times.begin(), times.end(), times.back())) >= n) {
        // The last group starts at the last time, and holds half a group's rows or more: a bin of
        // its own (a design's last nominal time), closed by the next double above that time. A
        // smaller one (ties of the group before having taken its rows) joins the group before.
        edges.push_back(std::nextafter(times.back(), std::numeric_limits<double>::infinity()));
    }
    return edges;
}

int BinOf(const std::vector<double>& edges, double time)
{
    if (edges.size() < 2 || !(time >= edges.front()) || !(time <= edges.back())) return -1;
    const auto above = std::upper_bound(edges.begin(), edges.end(), time);
    const int bin = int(above - edges.begin()) - 1;
    return std::min(bin, int(edges.size()) - 2);
}

}  // namespace tessuvan::simulation
