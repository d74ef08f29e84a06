#include "estimation/focei_diagnostics.h"

#include <algorithm>
#include <cmath>

namespace tessuvan::estimation {

using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

double SampleDeviation(const std::vector<double>& values)
{
    if (values.size() < 2) return 0;
    double mean = 0;
    for (double v : values) mean += v;
    mean /= double(values.size());
    double sum = 0;
    for (double v : values) sum += (v - mean) * (v - mean);
    return std::sqrt(sum / double(values.size() - 1));
}

}  // namespace

VectorXd ConditionalWeightedResiduals(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                                      const MatrixXd& omega, const ResidualError& error)
{
    VectorXd variance(y.size());
    for (Eigen::Index j = 0; j < y.size(); ++j) variance[j] = error.Variance(f[j]);
    return ConditionalWeightedResiduals(y, f, g, eta, omega, variance);
}

VectorXd ConditionalWeightedResiduals(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                                      const MatrixXd& omega, const VectorXd& variance)
{
    MatrixXd covariance = g * omega * g.transpose();
    covariance.diagonal() += variance;
    const VectorXd expected = f - g * eta;
    const Eigen::LLT<MatrixXd> llt(covariance);
    if (llt.info() != Eigen::Success) return VectorXd::Constant(y.size(), std::nan(""));
    return llt.matrixL().solve(y - expected);
}

double EtaShrinkage(const std::vector<double>& etas, double variance)
{
    return variance > 0 ? 100.0 * (1.0 - SampleDeviation(etas) / std::sqrt(variance)) : std::nan("");
}

double EpsilonShrinkage(const std::vector<double>& iwres) { return 100.0 * (1.0 - SampleDeviation(iwres)); }

namespace internal {

void IndividualDiagnostics(Modes& modes, const std::vector<VectorXd>& bestEta, const std::vector<MatrixXd>& bestG,
                           const MatrixXd& omega, const ResidualErrors& error, FoceiResult& result)
{
    const std::size_t n = modes.n_, q = modes.q_;
    const MatrixXd& omegaMatrix = omega;
    std::vector<char> all(n, 1);
    std::vector<VectorXd> zero(n, VectorXd::Zero(Eigen::Index(q)));
    result.pred.resize(n);
    modes.Predict(zero, all, result.pred);
    if (n > 0) {
        result.typicalValues = modes.Values(0, zero[0]);
        modes.simulator_.UsedValues(0, result.typicalValues);
    }
    std::vector<VectorXd> ipred(n);
    modes.Predict(bestEta, all, ipred);  // leaves the modes' values in the simulator
    std::vector<double> allIwres;
    for (std::size_t i = 0; i < n; ++i) {
        result.eta.push_back(bestEta[i]);
        VectorXd values = modes.Values(i, bestEta[i]);
        modes.simulator_.UsedValues(i, values);
        result.values.push_back(values);
        result.ipred.push_back(ipred[i]);
        static const Censoring none;
        const Censoring& censoring = i < modes.problem_.censoring.size() ? modes.problem_.censoring[i] : none;
        VectorXd iwres(ipred[i].size());
        for (Eigen::Index j = 0; j < iwres.size(); ++j) {
            if (censoring.Censored(j)) {
                iwres[j] = std::nan("");  // a censored value has no residual
                continue;
            }
            iwres[j] =
                (modes.problem_.observed[i][j] - ipred[i][j]) / std::sqrt(error.At(censoring, j).Variance(ipred[i][j]));
            allIwres.push_back(iwres[j]);
        }
        result.iwres.push_back(iwres);
        const MatrixXd g =
            q > 0 && bestG[i].rows() == ipred[i].size() ? bestG[i] : MatrixXd::Zero(ipred[i].size(), Eigen::Index(q));
        VectorXd variance(ipred[i].size());
        for (Eigen::Index j = 0; j < variance.size(); ++j) variance[j] = error.At(censoring, j).Variance(ipred[i][j]);
        if (!censoring.Any()) {
            result.cwres.push_back(ConditionalWeightedResiduals(modes.problem_.observed[i], ipred[i], g, bestEta[i],
                                                                omegaMatrix, variance));
            continue;
        }
        // CWRES of the observed values alone (their joint linearised distribution), NaN censored.
        std::vector<Eigen::Index> kept;
        for (Eigen::Index j = 0; j < ipred[i].size(); ++j)
            if (!censoring.Censored(j)) kept.push_back(j);
        VectorXd cwres = VectorXd::Constant(ipred[i].size(), std::nan(""));
        if (!kept.empty()) {
            const Eigen::Index k = Eigen::Index(kept.size());
            VectorXd y(k), f(k), vk(k);
            MatrixXd gk(k, g.cols());
            for (Eigen::Index m = 0; m < k; ++m) {
                y[m] = modes.problem_.observed[i][kept[std::size_t(m)]];
                f[m] = ipred[i][kept[std::size_t(m)]];
                vk[m] = variance[kept[std::size_t(m)]];
                gk.row(m) = g.row(kept[std::size_t(m)]);
            }
            const VectorXd part = ConditionalWeightedResiduals(y, f, gk, bestEta[i], omegaMatrix, vk);
            for (Eigen::Index m = 0; m < k; ++m) cwres[kept[std::size_t(m)]] = part[m];
        }
        result.cwres.push_back(cwres);
    }
    result.etaShrinkage.resize(Eigen::Index(q));
    for (std::size_t e = 0; e < q; ++e) {
        std::vector<double> values;
        for (std::size_t i = 0; i < n; ++i) values.push_back(bestEta[i][Eigen::Index(e)]);
        result.etaShrinkage[Eigen::Index(e)] = EtaShrinkage(values, omega(Eigen::Index(e), Eigen::Index(e)));
    }
    result.epsilonShrinkage = EpsilonShrinkage(allIwres);
}

void Criteria(const FoceiProblem& problem, std::size_t estimated, FoceiResult& result)
{
    for (const VectorXd& y : problem.observed) result.observations += int(y.size());
    for (const Censoring& censoring : problem.censoring) result.censored += int((censoring.kind.array() != 0).count());
    result.estimatedCount = int(estimated);
    result.aic = result.minus2ll + 2.0 * double(estimated);
    result.bic = result.minus2ll + double(estimated) * std::log(double(std::max(result.observations, 1)));
}

}  // namespace internal

}  // namespace tessuvan::estimation
