#include "estimation/focei_objective.h"

namespace tessuvan::estimation::internal {

using Eigen::MatrixXd;
using Eigen::VectorXd;

double FoceiMinus2LL(Modes& modes, double tolerance)
{
    const double logDetOmega = modes.LogDetOmega();
    if (std::isnan(logDetOmega)) return kInfinity;  // a block not positive definite
    if (!modes.FindModes(tolerance)) return kInfinity;
    double total = 0;
    for (std::size_t i = 0; i < modes.n_; ++i) {
        if (modes.q_ == 0) {
            total += modes.l_[i];
            continue;
        }
        const Eigen::LLT<MatrixXd> llt(modes.h_[i]);
        if (llt.info() != Eigen::Success) return kInfinity;
        double logDetH = 0;
        for (Eigen::Index k = 0; k < llt.matrixL().rows(); ++k) logDetH += 2 * std::log(llt.matrixLLT()(k, k));
        total += modes.l_[i] + logDetOmega + logDetH;
    }
    return total;
}

// The gradient of −2LL in the packed log parameters at the modes the last (finite)
// FoceiMinus2LL found, whose last Newton iteration left G and ∇²f at every mode,
// and, per individual, the modes' sensitivity dη̂/dx (modes.sensitivity_, q × m) for warm starts.
//
// −2LL = Σ_i O_i(η̂_i(x), x) with O_i = l_i + ln|Ω| + ln|H_i|. At the mode ∂l_i/∂η = 0, so
//     dO_i/dx = ∂O_i/∂x + cᵀ dη̂/dx,   c_k = ∂ln|H|/∂η_k = tr(H⁻¹ ∂H/∂η_k),
// and dη̂/dx = −K⁻¹ ∂(∇_η l)/∂x by the implicit function theorem, K = ∇²_η l the exact
// Hessian. Both c and K need the second derivatives of f in η, which the last Newton
// iteration left; those in the ln θ of typical values without η are taken here. A θ with
// an η enters f only through ln θ + η, so its f-derivatives are those in η.
//
// A number x of a block's factor moves Ω by Ω̇ = L̇Lᵀ + LL̇ᵀ (L̇ = L_rr E_rr for x = ln L_rr,
// E_rc below) and, with W = Ω⁻¹ and A = W Ω̇ W, at a fixed η
//     ∂(ηᵀWη)/∂x = −ηᵀAη,   ∂ln|Ω|/∂x = tr(WΩ̇),   ∂ln|H|/∂x = −tr(H⁻¹A),   ∂(∇_η l)/∂x = −2Aη;
// a θ whose η is in a block gives ∂l/∂x = −2(Wη)_e, ∂(∇_η l)/∂x = K e_e − 2W e_e.
bool FoceiGradientAt(Modes& modes, const Packing& packing, VectorXd& result)
{
    const std::size_t m = packing.Size();
    result = VectorXd::Zero(Eigen::Index(m));
    std::vector<char> all(modes.n_, 1);
    const double d = modes.options_.secondDifferenceStep;
    const std::size_t s = modes.q_ + modes.plain_.size();
    // The further directions: f at z + d·e_k, at z + d·e_k + d·e_l (l < q), and the first
    // derivative at the small step of G.
    std::vector<MatrixXd> plainG(modes.n_);
    for (std::size_t i = 0; i < modes.n_; ++i) {
        plainG[i].resize(modes.f_[i].size(), Eigen::Index(modes.plain_.size()));
    }
    std::vector<VectorXd> moved(modes.n_), pair(modes.n_), small(modes.n_);
    for (std::size_t k = modes.q_; k < s; ++k) {
        if (!modes.PredictMoved(k, -1, d, all, moved) ||
            !modes.PredictMoved(k, -1, modes.options_.differenceStep, all, small))
            return false;
        for (std::size_t i = 0; i < modes.n_; ++i) {
            plainG[i].col(Eigen::Index(k - modes.q_)) = (small[i] - modes.f_[i]) / modes.options_.differenceStep;
            modes.second_[i][k].resize(modes.f_[i].size(), Eigen::Index(modes.q_));
        }
        for (std::size_t l = 0; l < modes.q_; ++l) {
            if (!modes.PredictMoved(k, int(l), d, all, pair)) return false;
            for (std::size_t i = 0; i < modes.n_; ++i)
                modes.second_[i][k].col(Eigen::Index(l)) =
                    (pair[i] - moved[i] - modes.moved_[l][i] + modes.f_[i]) / (d * d);
        }
    }

    const Eigen::Index q = Eigen::Index(modes.q_);
    const MatrixXd omegaInverse = modes.OmegaInverse();
    // A and tr(WΩ̇) of every number of a block's factor.
    std::vector<MatrixXd> factorA(m);
    std::vector<double> factorTrace(m, 0.0);
    for (std::size_t p = 0; p < m; ++p) {
        const Packing::Kind kind = packing.KindOf(p);
        if (kind != Packing::Kind::FactorDiagonal && kind != Packing::Kind::FactorBelow) continue;
        const FoceiProblem::Block& block = modes.problem_.blocks[packing.IndexOf(p)];
        const Eigen::Index n = block.covariance.rows(), at = Eigen::Index(block.first);
        const MatrixXd factor = Eigen::LLT<MatrixXd>(modes.omega_.block(at, at, n, n)).matrixL();
        const auto [r, c] = packing.ElementOf(p);
        MatrixXd dFactor = MatrixXd::Zero(n, n);
        dFactor(r, c) = kind == Packing::Kind::FactorDiagonal ? factor(r, r) : 1.0;
        MatrixXd dOmega = MatrixXd::Zero(q, q);
        dOmega.block(at, at, n, n) = dFactor * factor.transpose() + factor * dFactor.transpose();
        factorA[p] = omegaInverse * dOmega * omegaInverse;
        factorTrace[p] = (omegaInverse.cwiseProduct(dOmega)).sum();
    }
    for (std::size_t i = 0; i < modes.n_; ++i) {
        const VectorXd& y = modes.problem_.observed[i];
        const VectorXd& f = modes.f_[i];
        const MatrixXd& g = modes.g_[i];
        const VectorXd& eta = modes.eta_[i];
        const Eigen::Index nObs = y.size();
        std::vector<ObservationTerms> terms;
        terms.reserve(std::size_t(nObs));
        for (Eigen::Index j = 0; j < nObs; ++j) terms.emplace_back(y, f, j, modes.CensoringOf(i), modes.error_);
        // H⁻¹, K and c.
        const MatrixXd hInverse = q > 0 ? MatrixXd(modes.h_[i].ldlt().solve(MatrixXd::Identity(q, q))) : MatrixXd();
        const MatrixXd hInverseG = q > 0 ? MatrixXd(hInverse * g.transpose()) : MatrixXd(0, nObs);  // q × n
        VectorXd c = VectorXd::Zero(q);
        VectorXd quadratic(nObs);
        for (Eigen::Index j = 0; j < nObs; ++j) {
            quadratic[j] = q > 0 ? g.row(j).dot(hInverseG.col(j)) : 0.0;
            const ObservationTerms& term = terms[std::size_t(j)];
            for (Eigen::Index a = 0; a < q; ++a)
                c[a] += term.W1() * g(j, a) * quadratic[j] +
                        2 * term.W() * modes.second_[i][std::size_t(a)].row(j).dot(hInverseG.col(j));
        }
        MatrixXd kInverse;
        if (q > 0) {
            const Eigen::LLT<MatrixXd> kLlt(modes.ExactHessian(i, omegaInverse));
            if (kLlt.info() == Eigen::Success)
                kInverse = kLlt.solve(MatrixXd::Identity(q, q));
            else
                kInverse = 0.5 * hInverse;  // away from a minimum: the first-order matrix
        }
        const VectorXd kc = q > 0 ? VectorXd(kInverse * c) : VectorXd();
        modes.sensitivity_[i] = MatrixXd::Zero(q, Eigen::Index(m));
        for (std::size_t p = 0; p < m; ++p) {
            const std::size_t index = packing.IndexOf(p);
            double total = 0;
            VectorXd dGradient = VectorXd::Zero(q);  // ∂(∇_η l)/∂x_p at fixed η
            switch (packing.KindOf(p)) {
                case Packing::Kind::Theta: {
                    const int e = modes.problem_.thetas[index].eta;
                    if (e >= 0 && modes.problem_.etas[std::size_t(e)].block >= 0) {
                        total = -2 * omegaInverse.row(e).dot(eta) + 2 * omegaInverse.row(e).dot(kc);
                        modes.sensitivity_[i](e, Eigen::Index(p)) = -1.0;
                        modes.sensitivity_[i].col(Eigen::Index(p)) += 2 * kInverse * omegaInverse.col(e);
                        result[Eigen::Index(p)] += total;
                        continue;
                    }
                    if (e >= 0) {
                        // The data part moves as under η_e, the prior term not at all:
                        // ∂l/∂x = −2η_e/ω_e² at the mode, ∂ln|H|/∂x = c_e, ∂(∇l)/∂x = K e_e − 2/ω_e² e_e.
                        const double w = 1.0 / modes.omega_(e, e);
                        total = -2 * eta[e] * w + 2 * w * kc[e];
                        modes.sensitivity_[i](e, Eigen::Index(p)) = -1.0;
                        modes.sensitivity_[i].col(Eigen::Index(p)) += 2 * w * kInverse.col(e);
                        result[Eigen::Index(p)] += total;
                        continue;
                    }
                    const std::size_t direction = modes.q_ + std::size_t(modes.plainIndex_[index]);
                    const MatrixXd& moves = modes.second_[i][direction];
                    for (Eigen::Index j = 0; j < nObs; ++j) {
                        const ObservationTerms& term = terms[std::size_t(j)];
                        const double df = plainG[i](j, Eigen::Index(direction - modes.q_));
                        total += term.L1() * df;
                        if (q > 0) {
                            total += term.W1() * df * quadratic[j] + 2 * term.W() * moves.row(j).dot(hInverseG.col(j));
                            dGradient += term.L2() * df * g.row(j).transpose() + term.L1() * moves.row(j).transpose();
                        }
                    }
                    break;
                }
                case Packing::Kind::Omega: {
                    // An inter-occasion π² is the variance of every κ tied to it: the sum of their terms.
                    for (Eigen::Index e = 0; e < q; ++e) {
                        if (e != Eigen::Index(index) && modes.problem_.etas[std::size_t(e)].tie != int(index)) continue;
                        const double w = 1.0 / modes.omega_(e, e);
                        total += -eta[e] * eta[e] * w + 1.0 - hInverse(e, e) * w;
                        dGradient[e] = -2 * eta[e] * w;
                    }
                    break;
                }
                case Packing::Kind::FactorDiagonal:
                case Packing::Kind::FactorBelow: {
                    const MatrixXd& a = factorA[p];
                    const VectorXd aEta = a * eta;
                    total = -eta.dot(aEta) + factorTrace[p] - hInverse.cwiseProduct(a).sum();
                    dGradient = -2 * aEta;
                    break;
                }
                case Packing::Kind::Additive:
                case Packing::Kind::Proportional: {
                    const bool additive = packing.KindOf(p) == Packing::Kind::Additive;
                    const Censoring& censoring = modes.CensoringOf(i);
                    const ResidualError& of = modes.error_.of[index];
                    for (Eigen::Index j = 0; j < nObs; ++j) {
                        if (modes.error_.IndexOf(censoring, j) != index) continue;  // another output's error
                        const ObservationTerms& term = terms[std::size_t(j)];
                        // x = ln a: V moves by 2a², V' not; x = ln b: V by 2b²f², V' by 2V'.
                        const double dv = additive ? 2 * of.additive * of.additive
                                                   : 2 * of.proportional * of.proportional * f[j] * f[j];
                        const double dv1 = additive ? 0.0 : 2 * term.v1;
                        total += term.DL(dv);
                        if (q > 0) {
                            total += term.DW(dv, dv1) * quadratic[j];
                            dGradient += term.DL1(dv, dv1) * g.row(j).transpose();
                        }
                    }
                    break;
                }
            }
            if (q > 0) {
                total -= kc.dot(dGradient);
                modes.sensitivity_[i].col(Eigen::Index(p)) = -kInverse * dGradient;
            }
            result[Eigen::Index(p)] += total;
        }
    }
    return result.allFinite();
}

}  // namespace tessuvan::estimation::internal
