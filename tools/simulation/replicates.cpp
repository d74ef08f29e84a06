#include "simulation/replicates.h"

#include <cmath>
#include <stdexcept>

#include "simulation/random_stream.h"

namespace tessuvan::simulation {

population::Omega VariabilityModel::Omega() const
{
    if (!blocks.empty()) return {blocks};
    std::vector<std::string> names;
    std::vector<double> variances;
    for (const Eta& eta : etas) {
        names.push_back(eta.name);
        variances.push_back(eta.variance);
    }
    return population::Omega::Diagonal(names, variances);
}

ReplicateRange ShardReplicates(int replicates, const Shard& shard)
{
    const long n = replicates, k = shard.index, m = shard.count;
    return {int((k - 1) * n / m) + 1, int(k * n / m)};
}

bool SimulateReplicates(const VariabilityModel& model, estimation::Simulator& simulator, std::uint64_t seed,
                        std::size_t firstIndividual, const ReplicateRange& range, const ReplicateTake& take,
                        int& failedReplicate)
{
    const std::size_t individuals = simulator.Individuals();
    std::vector<SimulatedIndividual> replicate(individuals);
    std::vector<Eigen::VectorXd> values(individuals, model.typical);
    std::vector<Eigen::VectorXd> predictions(individuals);
    const std::vector<char> all(individuals, 1);
    std::vector<RandomStream> streams;
    streams.reserve(individuals);
    // Every block's Cholesky factor, once; a block that is not positive definite draws nothing
    // (its η stay 0), as a variance of 0 did.
    const population::Omega omega = model.Omega();
    if (omega.Dimension() != model.etas.size())
        throw std::invalid_argument("the blocks of omega do not cover the etas");
    std::vector<Eigen::MatrixXd> factors(omega.blocks.size());
    for (std::size_t b = 0; b < omega.blocks.size(); ++b)
        if (!omega.blocks[b].Factor(factors[b]))
            factors[b] =
                Eigen::MatrixXd::Zero(Eigen::Index(omega.blocks[b].Size()), Eigen::Index(omega.blocks[b].Size()));
    for (int r = range.first; r <= range.last; ++r) {
        streams.clear();
        for (std::size_t i = 0; i < individuals; ++i) {
            streams.emplace_back(seed, std::uint64_t(r), std::uint64_t(firstIndividual + i));
            SimulatedIndividual& drawn = replicate[i];
            drawn.eta.resize(Eigen::Index(model.etas.size()));
            values[i] = model.typical;
            Eigen::Index at = 0;
            for (const Eigen::MatrixXd& factor : factors) {
                population::DrawBlock(
                    factor, [&] { return streams[i].Normal(); }, drawn.eta.data() + at);
                at += factor.rows();
            }
            for (std::size_t e = 0; e < model.etas.size(); ++e) {
                const std::size_t p = model.etas[e].parameter;
                const population::Scale scale = model.ScaleOf(p);
                double& value = values[i][Eigen::Index(p)];
                if (scale == population::Scale::Log)
                    value *= std::exp(drawn.eta[Eigen::Index(e)]);
                else
                    value = population::IndividualValue(scale, value, drawn.eta[Eigen::Index(e)]);
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
                drawn.dv[o] = model.ErrorOf(firstIndividual + i, o).Draw(f, streams[i].Normal());
            }
        }
        if (!take(r, replicate)) break;
    }
    return true;
}

bool SimulateReplicates(const VariabilityModel& model, estimation::Simulator& simulator, std::uint64_t seed,
                        std::size_t firstIndividual, const ReplicateRange& range,
                        std::vector<std::vector<SimulatedIndividual>>& result, int& failedReplicate,
                        const ReplicateProgress& progress)
{
    result.assign(std::size_t(range.Size()), {});
    return SimulateReplicates(
        model, simulator, seed, firstIndividual, range,
        [&](int r, const std::vector<SimulatedIndividual>& drawn) {
            result[std::size_t(r - range.first)] = drawn;
            if (progress) progress(r - range.first + 1);
            return true;
        },
        failedReplicate);
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
