#include "forecast/posterior.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "estimation/individual_modes.h"
#include "simulation/random_stream.h"

namespace tessuvan::forecast {

using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

// The step in η of the delta method's central differences: the values are exp(η)·θ times a
// covariate formula, smooth at that scale, and the engine's predictions play no part.
constexpr double kDeltaStep = 1e-4;
// The largest Newton step in any η that counts as the mode: finer than FOCEI's 1e-7 (one patient
// costs little), so that the mode is the posterior's to about 1e-9 in η.
constexpr double kModeTolerance = 1e-9;

// The prior's residual errors: one for every level, or one per output (Censoring::error the
// output of each level).
estimation::ResidualErrors ErrorsOf(const Prior& prior)
{
    if (prior.outputErrors.empty()) return prior.error;
    estimation::ResidualErrors errors;
    errors.of = prior.outputErrors;
    return errors;
}

estimation::FoceiProblem ProblemOf(const Prior& prior, const VectorXd& y, const estimation::Censoring& censoring)
{
    estimation::FoceiProblem problem;
    problem.values.assign(prior.typical.data(), prior.typical.data() + prior.typical.size());
    for (std::size_t e = 0; e < prior.etas.size(); ++e) {
        estimation::FoceiProblem::Theta theta;
        theta.name = prior.etas[e].name;
        theta.parameter = prior.etas[e].parameter;
        theta.value = prior.typical[Eigen::Index(theta.parameter)];
        theta.fixed = true;
        theta.eta = int(e);
        theta.scale = prior.ScaleOf(theta.parameter);
        problem.thetas.push_back(theta);
        problem.etas.push_back({e, prior.etas[e].variance, true});
    }
    // The blocks of Ω larger than 1×1 (their η consecutive, in the order of prior.etas), so that
    // Ω⁻¹ of the objective is the whole block's inverse, not that of its diagonal.
    std::size_t first = 0;
    for (const population::OmegaBlock& block : prior.Omega().blocks) {
        if (block.Size() > 1) {
            for (std::size_t e = first; e < first + block.Size(); ++e)
                problem.etas[e].block = int(problem.blocks.size());
            problem.blocks.push_back({first, block.covariance, true});
        }
        first += block.Size();
    }
    for (const estimation::ResidualError& error : ErrorsOf(prior).of)
        problem.errors.push_back({"", error, error.additive > 0, false, error.proportional > 0, false});
    problem.observed = {y};
    problem.censoring = {censoring};
    return problem;
}

}  // namespace

VectorXd ValuesAt(const Prior& prior, const VectorXd& eta)
{
    VectorXd values = prior.typical;
    for (std::size_t e = 0; e < prior.etas.size(); ++e) {
        const Eigen::Index p = Eigen::Index(prior.etas[e].parameter);
        const population::Scale scale = prior.ScaleOf(std::size_t(p));
        values[p] = scale == population::Scale::Log
                        ? std::exp(std::log(prior.typical[p]) + eta[Eigen::Index(e)])
                        : population::IndividualValue(scale, prior.typical[p], eta[Eigen::Index(e)]);
    }
    return values;
}

Posterior FindPosterior(const Prior& prior, estimation::Simulator& levels, const VectorXd& y,
                        const estimation::Censoring& censoring)
{
    const Eigen::Index q = Eigen::Index(prior.etas.size());
    const MatrixXd omega = prior.Omega().Matrix();
    Posterior posterior;
    posterior.levels = y.size() > 0;
    posterior.eta = VectorXd::Zero(q);
    posterior.covariance = omega;
    std::vector<VectorXd> f(1);
    const auto predict = [&](const VectorXd& eta) {
        if (!levels.Predict({ValuesAt(prior, eta)}, {1}, f) || !f[0].allFinite())
            throw SimulationFailed("the levels cannot be predicted");
        return f[0];
    };
    if (posterior.levels) {
        posterior.pred = predict(posterior.eta);
        const estimation::FoceiProblem problem = ProblemOf(prior, y, censoring);
        const estimation::FoceiOptions options;
        estimation::internal::Modes modes(problem, levels, options);
        VectorXd logTheta(q);
        for (Eigen::Index e = 0; e < q; ++e)
            logTheta[e] =
                population::ToScale(problem.thetas[std::size_t(e)].scale, problem.thetas[std::size_t(e)].value);
        modes.Set(logTheta, omega, ErrorsOf(prior));  // Ω whole, its blocks' covariances included
        if (!modes.FindModes(kModeTolerance)) throw SimulationFailed("the posterior cannot be searched");
        posterior.eta = modes.eta_[0];
        posterior.objective = modes.l_[0];
        // K at the mode, with the derivatives of the search's last iteration (taken there:
        // the search ends when a step from that point is below its tolerance).
        const MatrixXd k = modes.ExactHessian(0, modes.OmegaInverse());
        const Eigen::LLT<MatrixXd> exact(k);
        // At a mode the Newton step from there is nil: one left larger than 1e-6 in some η means
        // the search stopped at its iteration limit or against a wall of the engine.
        VectorXd gradient;
        MatrixXd h;
        estimation::IndividualDerivatives(y, modes.f_[0], modes.g_[0], posterior.eta, modes.OmegaInverse(),
                                          ErrorsOf(prior), gradient, h, censoring);
        posterior.converged = exact.info() == Eigen::Success && exact.solve(gradient).lpNorm<Eigen::Infinity>() < 1e-6;
        posterior.covariance = exact.info() == Eigen::Success ? MatrixXd(2 * exact.solve(MatrixXd::Identity(q, q)))
                                                              : MatrixXd(modes.h_[0].inverse());
        posterior.covariance = 0.5 * (posterior.covariance + posterior.covariance.transpose());
        posterior.ipred = predict(posterior.eta);
    } else {
        predict(posterior.eta);
    }
    levels.UsedValues(0, posterior.values = ValuesAt(prior, posterior.eta));
    // SE of each value by the delta method: J Σ Jᵀ, J = ∂value/∂η by central differences.
    const Eigen::Index n = posterior.values.size();
    MatrixXd jacobian(n, q);
    for (Eigen::Index e = 0; e < q; ++e) {
        VectorXd up = posterior.eta, down = posterior.eta;
        up[e] += kDeltaStep;
        down[e] -= kDeltaStep;
        VectorXd vUp = ValuesAt(prior, up), vDown = ValuesAt(prior, down);
        predict(up);
        levels.UsedValues(0, vUp);
        predict(down);
        levels.UsedValues(0, vDown);
        jacobian.col(e) = (vUp - vDown) / (2 * kDeltaStep);
    }
    posterior.valueSe = (jacobian * posterior.covariance * jacobian.transpose()).diagonal().cwiseMax(0).cwiseSqrt();
    // The simulator's values are those of its last simulation: at the mode again.
    predict(posterior.eta);
    return posterior;
}

std::vector<VectorXd> DrawEtas(const VectorXd& mean, const MatrixXd& covariance, int count, std::uint64_t seed,
                               std::uint64_t streamIndex)
{
    // Σ = L Lᵀ with a symmetric square root from the eigendecomposition where Cholesky fails
    // (a direction of variance 0 then draws nothing along it).
    MatrixXd factor;
    const Eigen::LLT<MatrixXd> llt(covariance);
    if (llt.info() == Eigen::Success) {
        factor = llt.matrixL();
    } else {
        const Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(covariance);
        factor = eigen.eigenvectors() * eigen.eigenvalues().cwiseMax(0).cwiseSqrt().asDiagonal() *
                 eigen.eigenvectors().transpose();
    }
    std::vector<VectorXd> draws;
    for (int d = 0; d < count; ++d) {
        simulation::RandomStream stream(seed, std::uint64_t(d + 1), streamIndex);
        VectorXd z(mean.size());
        for (Eigen::Index e = 0; e < z.size(); ++e) z[e] = stream.Normal();
        draws.push_back(mean + factor * z);
    }
    return draws;
}

Resampled ResampleEtas(const Prior& prior, estimation::Simulator& levels, const VectorXd& y,
                       const estimation::Censoring& censoring, const Posterior& posterior, int count, int proposals,
                       std::uint64_t seed, std::uint64_t streamIndex)
{
    const std::vector<VectorXd> proposed = DrawEtas(posterior.eta, posterior.covariance, proposals, seed, streamIndex);
    const MatrixXd omegaInverse = prior.Omega().Matrix().inverse();
    const Eigen::LDLT<MatrixXd> laplace(posterior.covariance);
    std::vector<double> logWeight(proposed.size(), -std::numeric_limits<double>::infinity());
    std::vector<VectorXd> f(1);
    double largest = -std::numeric_limits<double>::infinity();
    for (std::size_t d = 0; d < proposed.size(); ++d) {
        if (!levels.Predict({ValuesAt(prior, proposed[d])}, {1}, f) || !f[0].allFinite()) continue;
        const double l =
            estimation::IndividualObjective(y, f[0], proposed[d], omegaInverse, ErrorsOf(prior), censoring);
        if (!std::isfinite(l)) continue;
        const VectorXd away = proposed[d] - posterior.eta;
        logWeight[d] = -0.5 * l + 0.5 * away.dot(laplace.solve(away));
        largest = std::max(largest, logWeight[d]);
    }
    Resampled out;
    if (!std::isfinite(largest)) return out;
    std::vector<double> cumulative(proposed.size());
    double sum = 0, squares = 0;
    for (std::size_t d = 0; d < proposed.size(); ++d) {
        const double w = std::exp(logWeight[d] - largest);
        sum += w;
        squares += w * w;
        cumulative[d] = sum;
    }
    out.effectiveSize = sum * sum / squares;
    simulation::RandomStream stream(seed, 0, streamIndex);
    for (int k = 0; k < count; ++k) {
        const double u = stream.Uniform() * sum;
        const auto at = std::lower_bound(cumulative.begin(), cumulative.end(), u);
        out.draws.push_back(proposed[std::min(std::size_t(at - cumulative.begin()), proposed.size() - 1)]);
    }
    // The levels' simulator is left at the mode, as FindPosterior leaves it.
    levels.Predict({ValuesAt(prior, posterior.eta)}, {1}, f);
    return out;
}

double Quantile(std::vector<double> values, double q)
{
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    const double h = (double(values.size()) - 1) * q;
    const std::size_t below = std::size_t(std::floor(h));
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (h - double(below)) * (values[above] - values[below]);
}

}  // namespace tessuvan::forecast
