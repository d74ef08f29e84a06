#include "estimation/covariance_step.h"

#include <cmath>
#include <string>

namespace tessuvan::estimation::internal {

using Eigen::MatrixXd;
using Eigen::VectorXd;

VectorXd CovarianceStep(OuterContext& context, const std::vector<double>& x, const std::vector<double>& low,
                        FoceiResult& result, MatrixXd& covarianceLog)
{
    const Packing& packing = *context.packing;
    const FoceiOptions& options = *context.options;
    Modes& modes = *context.modes;
    const std::size_t m = packing.Size();
    VectorXd seLog = VectorXd::Constant(Eigen::Index(m), std::nan(""));
    covarianceLog = MatrixXd::Constant(Eigen::Index(m), Eigen::Index(m), std::nan(""));
    if (options.covariance && m > 0 && std::isfinite(result.minus2ll)) {
        std::vector<std::size_t> kept;
        std::vector<std::string> atBound;
        for (std::size_t k = 0; k < m; ++k) {
            const bool bounded = packing.FloorIsZero(k);
            if (bounded && x[k] < packing.ToLog(k, low[k]) + options.boundaryMargin)
                atBound.push_back(packing.Names()[k]);
            else
                kept.push_back(k);
        }
        const VectorXd logTheta = modes.logTheta_;
        const MatrixXd omega = modes.omega_;
        const ResidualErrors error = modes.error_;
        std::vector<VectorXd> bestEta = modes.eta_, bestF = modes.f_;
        std::vector<MatrixXd> bestG = modes.g_;
        context.bestEta = bestEta;
        context.bestX = x;
        VectorXd centre;
        // The modes of the displaced points at the search's own tolerance: warm-started by
        // their sensitivity they begin within O(h²) of their modes, and a tolerance tighter
        // than the noise of the differenced predictions would only add halvings of steps that
        // no longer descend.
        context.Evaluate(x, options.innerTolerance, &centre);
        context.bestSensitivity = modes.sensitivity_;
        const double h = options.hessianStep;
        const Eigen::Index r = Eigen::Index(kept.size());
        MatrixXd hessian = MatrixXd::Zero(r, r);
        bool finite = true;
        for (Eigen::Index a = 0; a < r; ++a) {
            VectorXd plus, minus;
            std::vector<double> xp = x, xm = x;
            xp[kept[std::size_t(a)]] += h;
            xm[kept[std::size_t(a)]] -= h;
            finite = finite && std::isfinite(context.Evaluate(xp, options.innerTolerance, &plus)) &&
                     std::isfinite(context.Evaluate(xm, options.innerTolerance, &minus));
            if (!finite) break;
            for (Eigen::Index b = 0; b < r; ++b)
                hessian(b, a) =
                    (plus[Eigen::Index(kept[std::size_t(b)])] - minus[Eigen::Index(kept[std::size_t(b)])]) / (2 * h);
        }
        hessian = 0.5 * (hessian + hessian.transpose()).eval();
        const MatrixXd information = 0.5 * hessian;
        const Eigen::LLT<MatrixXd> llt(information);
        if (!finite || !information.allFinite() || llt.info() != Eigen::Success) {
            result.covarianceMessage = "the matrix of second derivatives of -2LL is not positive definite";
        } else {
            const MatrixXd covariance = llt.solve(MatrixXd::Identity(r, r));
            const VectorXd se = covariance.diagonal().array().sqrt();
            for (Eigen::Index a = 0; a < r; ++a) {
                seLog[Eigen::Index(kept[std::size_t(a)])] = se[a];
                for (Eigen::Index b = 0; b < r; ++b)
                    covarianceLog(Eigen::Index(kept[std::size_t(a)]), Eigen::Index(kept[std::size_t(b)])) =
                        covariance(a, b);
            }
            result.correlation = se.cwiseInverse().asDiagonal() * covariance * se.cwiseInverse().asDiagonal();
            const Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(result.correlation);
            result.conditionNumber = eigen.eigenvalues().maxCoeff() / eigen.eigenvalues().minCoeff();
            for (std::size_t k : kept) result.correlationNames.push_back(packing.Names()[k]);
            result.covarianceDone = true;
        }
        for (const std::string& name : atBound) {
            result.covarianceMessage +=
                std::string(result.covarianceMessage.empty() ? "" : "; ") + name +
                " is at the lower bound of its search (near 0): held fixed there, no standard error";
            result.atBound.push_back(name);
        }
        modes.Set(logTheta, omega, error);
        modes.eta_ = std::move(bestEta);
        modes.f_ = std::move(bestF);
        modes.g_ = std::move(bestG);
    }
    return seLog;
}

}  // namespace tessuvan::estimation::internal
