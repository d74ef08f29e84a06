#include "simulation/replicates.h"

#include <cmath>

#include "simulation/random_stream.h"

namespace tessuvan::simulation {

ReplicateRange ShardReplicates(int replicates, const Shard& shard)
{
    const long n = replicates, k = shard.index, m = shard.count;
    return {int((k - 1) * n / m) + 1, int(k * n / m)};
}

bool SimulateReplicates(const VariabilityModel& model, estimation::Simulator& simulator, std::uint64_t seed,
                        std::size_t firstIndividual, const ReplicateRange& range,
                        std::vector<std::vector<SimulatedIndividual>>& result, int& failedReplicate,
                        const ReplicateProgress& progress)
{
    const std::size_t individuals = simulator.Individuals();
    result.assign(std::size_t(range.Size()), std::vector<SimulatedIndividual>(individuals));
    std::vector<Eigen::VectorXd> values(individuals, model.typical);
    std::vector<Eigen::VectorXd> predictions(individuals);
    const std::vector<char> all(individuals, 1);
    std::vector<RandomStream> streams;
    streams.reserve(individuals);
    for (int r = range.first; r <= range.last; ++r) {
        std::vector<SimulatedIndividual>& replicate = result[std::size_t(r - range.first)];
        streams.clear();
        for (std::size_t i = 0; i < individuals; ++i) {
            streams.emplace_back(seed, std::uint64_t(r), std::uint64_t(firstIndividual + i));
            SimulatedIndividual& drawn = replicate[i];
            drawn.eta.resize(Eigen::Index(model.etas.size()));
            values[i] = model.typical;
            for (std::size_t e = 0; e < model.etas.size(); ++e) {
                const double eta = std::sqrt(model.etas[e].variance) * streams[i].Normal();
                drawn.eta[Eigen::Index(e)] = eta;
                values[i][Eigen::Index(model.etas[e].parameter)] *= std::exp(eta);
            }
        }
        if (!simulator.Predict(values, all, predictions)) {
            failedReplicate = r;
            return false;
        }
        for (std::size_t i = 0; i < individuals; ++i) {
            SimulatedIndividual& drawn = replicate[i];
            drawn.ipred = predictions[i];
            drawn.dv.resize(drawn.ipred.size());
            for (Eigen::Index o = 0; o < drawn.ipred.size(); ++o) {
                const double f = drawn.ipred[o];
                drawn.dv[o] = f + std::sqrt(model.error.Variance(f)) * streams[i].Normal();
            }
        }
        if (progress) progress(r - range.first + 1);
    }
    return true;
}

bool TypicalPredictions(const VariabilityModel& model, estimation::Simulator& simulator,
                        std::vector<Eigen::VectorXd>& pred)
{
    const std::size_t individuals = simulator.Individuals();
    pred.assign(individuals, Eigen::VectorXd());
    return simulator.Predict(std::vector<Eigen::VectorXd>(individuals, model.typical),
                             std::vector<char>(individuals, 1), pred);
}

}  // namespace tessuvan::simulation
