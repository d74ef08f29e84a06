#include "estimation/individual_modes.h"

#include <algorithm>

namespace tessuvan::estimation::internal {

namespace {
constexpr double kLargestEtaStep = 1.5;
}  // namespace

using Eigen::MatrixXd;
using Eigen::VectorXd;

Modes::Modes(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options)
    : problem_(problem), simulator_(simulator), options_(options), n_(simulator.Individuals()), q_(problem.etas.size())
{
    eta_.assign(n_, VectorXd::Zero(Eigen::Index(q_)));
    f_.resize(n_);
    g_.assign(n_, MatrixXd());
    h_.assign(n_, MatrixXd());
    l_.assign(n_, 0.0);
    sensitivity_.assign(n_, MatrixXd());
    moved_.assign(q_, std::vector<VectorXd>(n_));
    pair_.resize(n_);
    plainIndex_.assign(problem.thetas.size(), -1);
    for (std::size_t t = 0; t < problem.thetas.size(); ++t)
        if (!problem.thetas[t].fixed && problem.thetas[t].eta < 0) {
            plainIndex_[t] = int(plain_.size());
            plain_.push_back(t);
        }
    second_.assign(n_, std::vector<MatrixXd>(q_ + plain_.size()));
}

VectorXd Modes::Values(std::size_t i, const VectorXd& eta, const VectorXd* logShift) const
{
    (void)i;
    VectorXd v = Eigen::Map<const VectorXd>(problem_.values.data(), Eigen::Index(problem_.values.size()));
    for (std::size_t t = 0; t < problem_.thetas.size(); ++t) {
        const int e = problem_.thetas[t].eta;
        const double shift = logShift ? (*logShift)[Eigen::Index(t)] : 0.0;
        v[Eigen::Index(problem_.thetas[t].parameter)] = population::FromScale(
            problem_.thetas[t].scale, logTheta_[Eigen::Index(t)] + shift + (e >= 0 ? eta[e] : 0.0));
    }
    return v;
}

bool Modes::Predict(const std::vector<VectorXd>& etas, const std::vector<char>& which, std::vector<VectorXd>& f,
                    const VectorXd* logShift)
{
    std::vector<VectorXd> values(n_);
    for (std::size_t i = 0; i < n_; ++i)
        if (which[i]) values[i] = Values(i, etas[i], logShift);
    ++simulations_;
    return simulator_.Predict(values, which, f);
}

// Newton steps on l_i with its exact Hessian K (the first-order matrix 2H where K is not
// positive definite), halved until l_i does not grow; a mode is reached when the step is
// below the tolerance in every η.
bool Modes::FindModes(double tolerance)
{
    const MatrixXd omegaInverse = OmegaInverse();
    std::vector<char> all(n_, 1), active(n_, 1), restart(n_, 0);
    // A failed simulation gives its individual NaN predictions, so an infinite l_i.
    Predict(eta_, all, f_);
    for (std::size_t i = 0; i < n_; ++i) {
        l_[i] = IndividualObjective(problem_.observed[i], f_[i], eta_[i], omegaInverse, error_, CensoringOf(i));
        // A start that cannot be simulated, or where a variance vanishes: begin again from
        // the typical values.
        if (!std::isfinite(l_[i]) && q_ > 0 && !eta_[i].isZero()) restart[i] = 1;
    }
    if (std::any_of(restart.begin(), restart.end(), [](char r) { return r != 0; })) {
        for (std::size_t i = 0; i < n_; ++i)
            if (restart[i]) eta_[i].setZero();
        Predict(eta_, restart, f_);
        for (std::size_t i = 0; i < n_; ++i)
            if (restart[i])
                l_[i] = IndividualObjective(problem_.observed[i], f_[i], eta_[i], omegaInverse, error_, CensoringOf(i));
    }
    for (std::size_t i = 0; i < n_; ++i)
        if (!std::isfinite(l_[i])) return false;
    // Each individual's largest step in any η: kLargestEtaStep (a factor e^1.5 in φ, beyond
    // which the quadratic model is not worth trusting), and after a trial the engine could
    // not simulate (a stiff corner of the parameters, where a walk takes the engine's
    // ceiling of steps before it fails) the fraction of the step that could be, so that the
    // search does not knock at that wall again at every iteration; it doubles back with
    // every step taken.
    std::vector<double> radius(n_, kLargestEtaStep);
    std::vector<VectorXd> step(n_), trial(n_), ft(n_);
    VectorXd gradient;
    for (int iteration = 0; iteration < options_.innerIterations; ++iteration) {
        if (q_ == 0 || std::none_of(active.begin(), active.end(), [](char a) { return a != 0; })) break;
        std::vector<char> failed;
        if (!EtaDerivatives(active, failed)) return false;
        // An individual whose derivatives could not be taken stays where it is, with those
        // of its last point, as one at the iteration limit.
        for (std::size_t i = 0; i < n_; ++i)
            if (failed[i]) active[i] = 0;
        std::vector<char> searching(n_, 0), walled(n_, 0);
        for (std::size_t i = 0; i < n_; ++i) {
            if (!active[i]) continue;
            IndividualDerivatives(problem_.observed[i], f_[i], g_[i], eta_[i], omegaInverse, error_, gradient, h_[i],
                                  CensoringOf(i));
            const Eigen::LLT<MatrixXd> exact(ExactHessian(i, omegaInverse));
            step[i] = exact.info() == Eigen::Success ? VectorXd(-exact.solve(gradient))
                                                     : VectorXd(-h_[i].ldlt().solve(0.5 * gradient));
            const double largest = step[i].lpNorm<Eigen::Infinity>();
            if (largest > radius[i]) step[i] *= radius[i] / largest;
            if (step[i].lpNorm<Eigen::Infinity>() < tolerance)
                active[i] = 0;
            else
                searching[i] = 1;
        }
        // Halving line search on l_i.
        double t = 1;
        for (int halving = 0; halving < 40; ++halving, t *= 0.5) {
            if (std::none_of(searching.begin(), searching.end(), [](char a) { return a != 0; })) break;
            for (std::size_t i = 0; i < n_; ++i)
                if (searching[i]) trial[i] = eta_[i] + t * step[i];
            // A trial the engine cannot simulate is no descent (its l_i is infinite): that
            // individual's step is halved.
            Predict(trial, searching, ft);
            for (std::size_t i = 0; i < n_; ++i) {
                if (!searching[i]) continue;
                const double lt =
                    IndividualObjective(problem_.observed[i], ft[i], trial[i], omegaInverse, error_, CensoringOf(i));
                if (!ft[i].allFinite()) {
                    radius[i] = std::min(radius[i], 0.5 * t * step[i].lpNorm<Eigen::Infinity>());
                    walled[i] = 1;
                }
                if (lt <= l_[i]) {
                    eta_[i] = trial[i];
                    f_[i] = ft[i];
                    l_[i] = lt;
                    searching[i] = 0;
                    if (!walled[i]) radius[i] = std::min(kLargestEtaStep, 2 * radius[i]);
                } else if (t * step[i].lpNorm<Eigen::Infinity>() < tolerance) {
                    searching[i] = 0;  // no descent left along the step: the mode, to its precision
                    active[i] = 0;
                }
            }
        }
        for (std::size_t i = 0; i < n_; ++i)
            if (searching[i]) active[i] = 0;
    }
    // Individuals still active after the iteration limit keep their last H (from G one step old).
    return true;
}

int Modes::ReviseModes(double tolerance, Objective objective)
{
    if (q_ == 0 || !std::isfinite(objective(*this, tolerance))) return 0;
    const std::vector<VectorXd> warm = eta_;
    const std::vector<double> warmL = l_;
    for (VectorXd& eta : eta_) eta.setZero();
    if (!std::isfinite(objective(*this, tolerance))) {
        eta_ = warm;
        return 0;
    }
    int changed = 0;
    for (std::size_t i = 0; i < n_; ++i) {
        if (l_[i] < warmL[i] - 1e-6)
            ++changed;
        else
            eta_[i] = warm[i];
    }
    return changed;
}

bool Modes::PredictMoved(std::size_t k, int l, double step, const std::vector<char>& which, std::vector<VectorXd>& out)
{
    std::vector<VectorXd> etas = eta_;
    VectorXd shift = VectorXd::Zero(Eigen::Index(problem_.thetas.size()));
    auto move = [&](std::size_t direction) {
        if (direction < q_) {
            for (VectorXd& eta : etas) eta[Eigen::Index(direction)] += step;
        } else {
            shift[Eigen::Index(plain_[direction - q_])] += step;
        }
    };
    move(k);
    if (l >= 0) move(std::size_t(l));
    return Predict(etas, which, out, &shift);
}

// G = ∂f/∂η and the second derivatives ∂²f/∂η_k∂η_l (second_[i][k], column l) of the
// individuals in which, from f at η + d·e_k and η + d·e_k + d·e_l (l ≤ k): the second by
// second differences, G by the forward difference of second order
// (4 f(η + d e_k) − f(η + 2d e_k) − 3 f(η)) / 2d, both with d = secondDifferenceStep.
// An individual some of whose displaced points cannot be simulated (its mode pressed against
// a corner the engine cannot integrate) keeps the derivatives it had, and is marked in
// failed; false when one of them has none.
bool Modes::EtaDerivatives(const std::vector<char>& which, std::vector<char>& failed)
{
    const double d = options_.secondDifferenceStep;
    failed.assign(n_, 0);
    for (std::size_t k = 0; k < q_; ++k) PredictMoved(k, -1, d, which, moved_[k]);
    std::vector<MatrixXd> g(n_);
    std::vector<std::vector<MatrixXd>> second(n_);
    for (std::size_t i = 0; i < n_; ++i)
        if (which[i]) {
            g[i].resize(f_[i].size(), Eigen::Index(q_));
            second[i].assign(q_, MatrixXd(f_[i].size(), Eigen::Index(q_)));
        }
    for (std::size_t k = 0; k < q_; ++k)
        for (std::size_t l = 0; l <= k; ++l) {
            PredictMoved(k, int(l), d, which, pair_);
            for (std::size_t i = 0; i < n_; ++i) {
                if (!which[i]) continue;
                const VectorXd value = (pair_[i] - moved_[k][i] - moved_[l][i] + f_[i]) / (d * d);
                second[i][k].col(Eigen::Index(l)) = value;
                second[i][l].col(Eigen::Index(k)) = value;
                if (k == l) g[i].col(Eigen::Index(k)) = (4 * moved_[k][i] - pair_[i] - 3 * f_[i]) / (2 * d);
            }
        }
    for (std::size_t i = 0; i < n_; ++i) {
        if (!which[i]) continue;
        bool finite = g[i].allFinite();
        for (const MatrixXd& s : second[i]) finite = finite && s.allFinite();
        if (finite) {
            g_[i] = std::move(g[i]);
            second_[i].resize(q_ + plain_.size());
            for (std::size_t k = 0; k < q_; ++k) second_[i][k] = std::move(second[i][k]);
            continue;
        }
        failed[i] = 1;
        if (g_[i].rows() != f_[i].size() || g_[i].cols() != Eigen::Index(q_)) return false;
        // The displaced predictions the gradient reuses, to first order from the G kept.
        for (std::size_t k = 0; k < q_; ++k) moved_[k][i] = f_[i] + d * g_[i].col(Eigen::Index(k));
    }
    return true;
}

MatrixXd Modes::ExactHessian(std::size_t i, const MatrixXd& omegaInverse) const
{
    MatrixXd k = 2 * omegaInverse;
    const MatrixXd& g = g_[i];
    for (Eigen::Index j = 0; j < g.rows(); ++j) {
        const ObservationTerms term(problem_.observed[i], f_[i], j, CensoringOf(i), error_);
        k += term.L2() * g.row(j).transpose() * g.row(j);
        for (std::size_t a = 0; a < q_; ++a) k.row(Eigen::Index(a)) += term.L1() * second_[i][a].row(j);
    }
    return 0.5 * (k + k.transpose());
}

MatrixXd Modes::OmegaInverse() const
{
    MatrixXd inverse = MatrixXd::Zero(Eigen::Index(q_), Eigen::Index(q_));
    for (std::size_t e = 0; e < q_; ++e)
        if (problem_.etas[e].block < 0)
            inverse(Eigen::Index(e), Eigen::Index(e)) = 1.0 / omega_(Eigen::Index(e), Eigen::Index(e));
    for (const FoceiProblem::Block& block : problem_.blocks) {
        const Eigen::Index n = block.covariance.rows(), at = Eigen::Index(block.first);
        inverse.block(at, at, n, n) = Eigen::LLT<MatrixXd>(omega_.block(at, at, n, n)).solve(MatrixXd::Identity(n, n));
    }
    return inverse;
}

double Modes::LogDetOmega() const
{
    double logDet = 0;
    for (std::size_t e = 0; e < q_; ++e)
        if (problem_.etas[e].block < 0) logDet += std::log(omega_(Eigen::Index(e), Eigen::Index(e)));
    for (const FoceiProblem::Block& block : problem_.blocks) {
        const Eigen::Index n = block.covariance.rows(), at = Eigen::Index(block.first);
        const Eigen::LLT<MatrixXd> llt(omega_.block(at, at, n, n));
        if (llt.info() != Eigen::Success) return std::nan("");
        for (Eigen::Index k = 0; k < n; ++k) logDet += 2 * std::log(llt.matrixLLT()(k, k));
    }
    return logDet;
}

}  // namespace tessuvan::estimation::internal
