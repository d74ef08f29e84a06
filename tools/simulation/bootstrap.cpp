#include "simulation/bootstrap.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "simulation/random_stream.h"
#include "simulation/time_bins.h"

namespace tessuvan::simulation {

std::vector<std::size_t> ResampledIndividuals(std::uint64_t seed, int sample, const std::vector<int>& stratum)
{
    // The strata in the order of their first individual, each with its individuals in order.
    std::vector<std::vector<std::size_t>> strata;
    std::map<int, std::size_t> position;
    for (std::size_t i = 0; i < stratum.size(); ++i) {
        const auto [at, added] = position.emplace(stratum[i], strata.size());
        if (added) strata.emplace_back();
        strata[at->second].push_back(i);
    }
    RandomStream stream(seed, std::uint64_t(sample), 0);
    std::vector<std::size_t> drawn;
    drawn.reserve(stratum.size());
    for (const std::vector<std::size_t>& members : strata) {
        const std::size_t n = members.size();
        for (std::size_t k = 0; k < n; ++k) {
            // u < 1, but u·n may round up to n for u within 2^-53 of 1.
            const auto j = std::size_t(stream.Uniform() * double(n));
            drawn.push_back(members[std::min(j, n - 1)]);
        }
    }
    return drawn;
}

SpreadSummary SummaryOf(const std::vector<double>& values)
{
    std::vector<double> finite;
    for (const double value : values)
        if (std::isfinite(value)) finite.push_back(value);
    SpreadSummary summary;
    summary.count = finite.size();
    summary.median = Percentile(finite, 0.5);
    summary.lower = Percentile(finite, 0.025);
    summary.upper = Percentile(finite, 0.975);
    return summary;
}

}  // namespace tessuvan::simulation
