#include "estimation/focei_parameters.h"

#include <algorithm>
#include <stdexcept>

namespace tessuvan::estimation {

FoceiProblem FoceiProblemOf(const population::PopulationModel& model, const std::vector<std::string>& parameters)
{
    FoceiProblem problem;
    for (const population::Theta& theta : model.thetas) {
        const auto at = std::find(parameters.begin(), parameters.end(), theta.name);
        if (at == parameters.end()) throw std::invalid_argument("no model parameter " + theta.name);
        problem.thetas.push_back(
            {theta.name, std::size_t(at - parameters.begin()), theta.value, theta.fixed, -1, theta.scale});
    }
    for (const population::OmegaBlock& block : model.omega.blocks) {
        const int b = block.Size() > 1 ? int(problem.blocks.size()) : -1;
        if (b >= 0) problem.blocks.push_back({problem.etas.size(), block.covariance, block.fixed});
        for (std::size_t r = 0; r < block.Size(); ++r) {
            std::size_t t = 0;
            while (t < problem.thetas.size() && problem.thetas[t].name != block.names[r]) ++t;
            if (t == problem.thetas.size()) throw std::invalid_argument("no theta for the eta of " + block.names[r]);
            problem.thetas[t].eta = int(problem.etas.size());
            problem.etas.push_back({t, block.covariance(Eigen::Index(r), Eigen::Index(r)), block.fixed, b});
        }
    }
    for (const population::OccasionVariance& occasions : model.occasions) {
        const int first = int(problem.etas.size());
        for (const std::string& kappa : occasions.kappas) {
            std::size_t t = 0;
            while (t < problem.thetas.size() && problem.thetas[t].name != kappa) ++t;
            if (t == problem.thetas.size()) throw std::invalid_argument("no theta for the kappa " + kappa);
            problem.thetas[t].eta = int(problem.etas.size());
            const bool head = int(problem.etas.size()) == first;
            problem.etas.push_back(
                {t, occasions.variance, occasions.fixed, -1, head ? occasions.parameter : "", head ? -1 : first});
        }
    }
    for (const population::ErrorModel& error : model.errors)
        problem.errors.push_back({error.output, error.value, error.additive, error.additiveFixed, error.proportional,
                                  error.proportionalFixed});
    return problem;
}

}  // namespace tessuvan::estimation

namespace tessuvan::estimation::internal {

Packing::Packing(const FoceiProblem& problem) : problem_(problem)
{
    for (std::size_t t = 0; t < problem.thetas.size(); ++t)
        if (!problem.thetas[t].fixed) Add(Kind::Theta, t, problem.thetas[t].name, problem.thetas[t].value);
    blockStart_.assign(problem.blocks.size(), std::size_t(-1));
    const auto nameOf = [&](std::size_t e) { return problem.thetas[problem.etas[e].theta].name; };
    for (std::size_t e = 0; e < problem.etas.size(); ++e) {
        const int b = problem.etas[e].block;
        if (b < 0) {
            const FoceiProblem::Eta& eta = problem.etas[e];
            if (!eta.fixed && eta.tie < 0)
                Add(Kind::Omega, e, eta.iov.empty() ? "omega(" + nameOf(e) + ")" : "iov(" + eta.iov + ")",
                    eta.variance);
            continue;
        }
        const FoceiProblem::Block& block = problem.blocks[std::size_t(b)];
        if (block.fixed || e != block.first) continue;
        const Eigen::Index n = block.covariance.rows();
        std::vector<double> packed;
        if (!population::OmegaBlock{std::vector<std::string>(std::size_t(n)), block.covariance, false}.Pack(packed))
            throw std::invalid_argument("the starting covariance of a block of omega is not positive definite");
        blockStart_[std::size_t(b)] = kinds_.size();
        std::size_t at = 0;
        for (Eigen::Index r = 0; r < n; ++r)
            for (Eigen::Index c = 0; c <= r; ++c, ++at) {
                const std::string name =
                    "cholesky(" + nameOf(e + std::size_t(r)) + "," + nameOf(e + std::size_t(c)) + ")";
                Add(r == c ? Kind::FactorDiagonal : Kind::FactorBelow, std::size_t(b), name, 1);
                start_.back() = packed[at];
                element_.back() = {r, c};
            }
    }
    for (std::size_t k = 0; k < problem.errors.size(); ++k) {
        const FoceiProblem::Error& error = problem.errors[k];
        const std::string output = error.output.empty() ? "" : error.output + ":";
        if (error.additive && !error.additiveFixed)
            Add(Kind::Additive, k, "sigma(" + output + (error.value.exponential ? "exponential" : "additive") + ")",
                error.value.additive);
        if (error.proportional && !error.proportionalFixed)
            Add(Kind::Proportional, k, "sigma(" + output + "proportional)", error.value.proportional);
    }
}

void Packing::Unpack(const std::vector<double>& x, Eigen::VectorXd& logTheta, Eigen::MatrixXd& omega,
                     ResidualErrors& error) const
{
    logTheta.resize(Eigen::Index(problem_.thetas.size()));
    for (std::size_t t = 0; t < problem_.thetas.size(); ++t)
        logTheta[Eigen::Index(t)] = population::ToScale(problem_.thetas[t].scale, problem_.thetas[t].value);
    const Eigen::Index q = Eigen::Index(problem_.etas.size());
    omega = Eigen::MatrixXd::Zero(q, q);
    for (Eigen::Index e = 0; e < q; ++e) omega(e, e) = problem_.etas[std::size_t(e)].variance;
    for (std::size_t b = 0; b < problem_.blocks.size(); ++b) {
        const FoceiProblem::Block& block = problem_.blocks[b];
        const Eigen::Index n = block.covariance.rows(), at = Eigen::Index(block.first);
        omega.block(at, at, n, n) =
            block.fixed ? block.covariance : population::OmegaBlock::Unpack(x.data() + blockStart_[b], std::size_t(n));
    }
    error.of.clear();
    for (const FoceiProblem::Error& model : problem_.errors) {
        ResidualError& value = error.of.emplace_back(model.value);
        if (!model.additive) value.additive = 0;
        if (!model.proportional) value.proportional = 0;
    }
    for (std::size_t k = 0; k < kinds_.size(); ++k) {
        const auto at = Eigen::Index(index_[k]);
        switch (kinds_[k]) {
            case Kind::Theta:
                logTheta[at] = x[k];
                break;
            case Kind::Omega:
                omega(at, at) = std::exp(x[k]);
                break;
            case Kind::FactorDiagonal:
            case Kind::FactorBelow:
                break;  // the blocks, above
            case Kind::Additive:
                error.of[index_[k]].additive = std::exp(x[k]);
                break;
            case Kind::Proportional:
                error.of[index_[k]].proportional = std::exp(x[k]);
                break;
        }
    }
    for (Eigen::Index e = 0; e < q; ++e)  // a κ's variance is its parameter's π²
        if (const int tie = problem_.etas[std::size_t(e)].tie; tie >= 0) omega(e, e) = omega(tie, tie);
}

std::vector<double> Packing::ToLog(const std::vector<double>& s) const
{
    std::vector<double> u(s.size());
    for (std::size_t k = 0; k < s.size(); ++k) u[k] = ToLog(k, s[k]);
    return u;
}

std::vector<double> Packing::ToSearch(const std::vector<double>& u) const
{
    std::vector<double> s(u.size());
    for (std::size_t k = 0; k < u.size(); ++k) s[k] = ToSearch(k, u[k]);
    return s;
}

void Packing::Bounds(std::vector<double>& low, std::vector<double>& high) const
{
    for (std::size_t k = 0; k < kinds_.size(); ++k) {
        const double x0 = start_[k];
        switch (kinds_[k]) {
            case Kind::Theta: {
                const double reach = ScaleOf(k) == population::Scale::Log ? 3.0 : 20 * TrustScale(k);
                low.push_back(x0 - reach);
                high.push_back(x0 + reach);
                break;
            }
            case Kind::Omega:
            case Kind::FactorDiagonal:
                low.push_back(std::sqrt(kVarianceFloor));
                high.push_back(population::kLargestOmegaSd);
                break;
            case Kind::FactorBelow:
                low.push_back(-5.0);
                high.push_back(5.0);
                break;
            case Kind::Additive:
                low.push_back(x0 - 9);
                high.push_back(x0 + 9);
                break;
            case Kind::Proportional:
                low.push_back(std::log(1e-5));
                high.push_back(std::log(10.0));
                break;
        }
    }
}

void Packing::Add(Kind kind, std::size_t index, const std::string& name, double value)
{
    kinds_.push_back(kind);
    index_.push_back(index);
    names_.push_back(name);
    start_.push_back(kind == Kind::Theta ? population::ToScale(problem_.thetas[index].scale, value) : std::log(value));
    element_.push_back({0, 0});
}

population::Scale Packing::ScaleOf(std::size_t k) const
{
    return kinds_[k] == Kind::Theta ? problem_.thetas[index_[k]].scale : population::Scale::Log;
}

double Packing::TrustScale(std::size_t k) const
{
    if (ScaleOf(k) != population::Scale::Linear) return 1.0;
    return std::max(1.0, std::fabs(problem_.thetas[index_[k]].value));
}

namespace {

// The standard errors of a block's covariances by the delta method: Ω_rc = Σ_k L_rk L_ck, so
//     ∂Ω_rc/∂L_ab = δ_ra L_cb + δ_ca L_rb,   ∂L_ab/∂u = L_ab on the diagonal (u = ln L_aa), 1 below,
// and Var Ω_rc = J C Jᵀ with C the covariance of the block's packed u. NaN where C has none.
Eigen::MatrixXd BlockStandardErrors(const Eigen::MatrixXd& covariance, const Eigen::MatrixXd& packedCovariance)
{
    const Eigen::Index n = covariance.rows(), m = packedCovariance.rows();
    const Eigen::MatrixXd factor = Eigen::LLT<Eigen::MatrixXd>(covariance).matrixL();
    Eigen::MatrixXd se(n, n);
    for (Eigen::Index r = 0; r < n; ++r)
        for (Eigen::Index c = 0; c <= r; ++c) {
            Eigen::VectorXd j = Eigen::VectorXd::Zero(m);
            Eigen::Index k = 0;
            for (Eigen::Index a = 0; a < n; ++a)
                for (Eigen::Index b = 0; b <= a; ++b, ++k) {
                    const double dL = (r == a ? factor(c, b) : 0.0) + (c == a ? factor(r, b) : 0.0);
                    j[k] = dL * (a == b ? factor(a, a) : 1.0);
                }
            se(r, c) = se(c, r) = std::sqrt(j.dot(packedCovariance * j));
        }
    return se;
}

}  // namespace

// Every estimate but a block's and a θ's is log-parametrised, so SE = value · SE(log); a θ's
// SE is |h'| · SE(k(θ)) on its scale (θ on the log scale, 1 on the linear, θ(1 − θ) on the logit).
void NaturalEstimates(const FoceiProblem& problem, const Packing& packing, const Eigen::VectorXd& logTheta,
                      const Eigen::MatrixXd& omega, const ResidualErrors& error, const Eigen::VectorXd& seLog,
                      const Eigen::MatrixXd& covarianceLog, FoceiResult& result)
{
    const Eigen::Index q = omega.rows();
    Eigen::MatrixXd omegaSe = Eigen::MatrixXd::Constant(q, q, std::nan(""));
    for (std::size_t b = 0; b < problem.blocks.size(); ++b) {
        const FoceiProblem::Block& block = problem.blocks[b];
        if (block.fixed) continue;
        const Eigen::Index n = block.covariance.rows(), at = Eigen::Index(block.first);
        const Eigen::Index start = Eigen::Index(packing.BlockStart(b)), m = n * (n + 1) / 2;
        omegaSe.block(at, at, n, n) =
            BlockStandardErrors(omega.block(at, at, n, n), covarianceLog.block(start, start, m, m));
    }
    std::size_t k = 0;
    auto se = [&](bool fixed, double value) { return fixed ? std::nan("") : value * seLog[Eigen::Index(k++)]; };
    for (std::size_t t = 0; t < problem.thetas.size(); ++t) {
        const population::Scale scale = problem.thetas[t].scale;
        const double value = population::FromScale(scale, logTheta[Eigen::Index(t)]);
        result.theta.push_back({problem.thetas[t].name, value,
                                se(problem.thetas[t].fixed, population::ScaleSlope(scale, value)),
                                problem.thetas[t].fixed, scale});
    }
    for (std::size_t e = 0; e < problem.etas.size(); ++e) {
        const Eigen::Index at = Eigen::Index(e);
        const double value = omega(at, at);
        const std::string& name = problem.thetas[problem.etas[e].theta].name;
        const population::Scale scale = problem.thetas[problem.etas[e].theta].scale;
        if (const int block = problem.etas[e].block; block >= 0) {
            const FoceiProblem::Block& of = problem.blocks[std::size_t(block)];
            const std::size_t n = std::size_t(of.covariance.rows());
            if (e == of.first && !of.fixed) k += n * (n + 1) / 2;  // its packed factor
            result.omega.push_back({name, value, omegaSe(at, at), problem.etas[e].fixed, scale});
        } else if (const int tie = problem.etas[e].tie; tie >= 0)
            result.omega.push_back({name, value, result.omega[std::size_t(tie)].se, problem.etas[e].fixed, scale});
        else
            result.omega.push_back({name, value, se(problem.etas[e].fixed, value), problem.etas[e].fixed, scale});
        if (!problem.etas[e].iov.empty())
            result.iov.push_back({problem.etas[e].iov, value, result.omega.back().se, problem.etas[e].fixed, scale});
        if (!problem.etas[e].fixed && problem.etas[e].block < 0) omegaSe(at, at) = result.omega.back().se;
    }
    if (!problem.blocks.empty()) {
        for (const Estimated& o : result.omega) result.omegaMatrix.names.push_back(o.name);
        result.omegaMatrix.covariance = omega;
        result.omegaMatrix.se = omegaSe;
    }
    for (std::size_t e = 0; e < problem.errors.size(); ++e) {
        const FoceiProblem::Error& model = problem.errors[e];
        const ResidualError& value = error.of[e];
        const std::string output = model.output.empty() ? "" : model.output + ":";
        if (model.additive)
            result.sigma.push_back({output + (value.exponential ? "exponential" : "additive"), value.additive,
                                    se(model.additiveFixed, value.additive), model.additiveFixed});
        if (model.proportional)
            result.sigma.push_back({output + "proportional", value.proportional,
                                    se(model.proportionalFixed, value.proportional), model.proportionalFixed});
    }
}

}  // namespace tessuvan::estimation::internal
