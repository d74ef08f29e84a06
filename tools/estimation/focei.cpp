#include "focei.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <nlopt.hpp>

namespace tessuvan::estimation {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
const double kLog2Pi = std::log(2.0 * 3.14159265358979323846);

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The modes of every individual at given population values, and −2LL: the inner problem, and
// the one objective the outer optimisation and the covariance step evaluate.
class Modes {
public:
    Modes(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options)
        : problem_(problem), simulator_(simulator), options_(options), n_(simulator.Individuals()),
          q_(problem.etas.size())
    {
        eta_.assign(n_, VectorXd::Zero(Eigen::Index(q_)));
        f_.resize(n_);
        g_.assign(n_, MatrixXd());
        h_.assign(n_, MatrixXd());
        l_.assign(n_, 0.0);
    }

    void Set(const VectorXd& logTheta, const VectorXd& omega, const ResidualError& error)
    {
        logTheta_ = logTheta;
        omega_ = omega;
        error_ = error;
    }

    // Individual i's values of every model parameter at η.
    VectorXd Values(std::size_t i, const VectorXd& eta) const
    {
        (void)i;
        VectorXd v = Eigen::Map<const VectorXd>(problem_.values.data(), Eigen::Index(problem_.values.size()));
        for (std::size_t t = 0; t < problem_.thetas.size(); ++t) {
            const int e = problem_.thetas[t].eta;
            v[Eigen::Index(problem_.thetas[t].parameter)] =
                std::exp(logTheta_[Eigen::Index(t)] + (e >= 0 ? eta[e] : 0.0));
        }
        return v;
    }

    bool Predict(const std::vector<VectorXd>& etas, const std::vector<char>& which, std::vector<VectorXd>& f)
    {
        std::vector<VectorXd> values(n_);
        for (std::size_t i = 0; i < n_; ++i)
            if (which[i]) values[i] = Values(i, etas[i]);
        ++simulations_;
        return simulator_.Predict(values, which, f);
    }

    // Finds every mode from the current η (a warm start) and returns −2LL (+∞ on failure).
    double Objective(double tolerance)
    {
        MatrixXd omegaInverse = MatrixXd::Zero(Eigen::Index(q_), Eigen::Index(q_));
        double logDetOmega = 0;
        for (std::size_t e = 0; e < q_; ++e) {
            omegaInverse(Eigen::Index(e), Eigen::Index(e)) = 1.0 / omega_[Eigen::Index(e)];
            logDetOmega += std::log(omega_[Eigen::Index(e)]);
        }
        std::vector<char> all(n_, 1), active(n_, 1);
        if (!Predict(eta_, all, f_)) return kInfinity;
        for (std::size_t i = 0; i < n_; ++i) {
            l_[i] = IndividualObjective(problem_.observed[i], f_[i], eta_[i], omegaInverse, error_);
            if (!std::isfinite(l_[i])) {
                // A start where a variance vanishes: begin again from the typical values.
                eta_[i].setZero();
            }
        }
        if (!Predict(eta_, all, f_)) return kInfinity;
        for (std::size_t i = 0; i < n_; ++i) {
            l_[i] = IndividualObjective(problem_.observed[i], f_[i], eta_[i], omegaInverse, error_);
            if (!std::isfinite(l_[i])) return kInfinity;
        }
        std::vector<VectorXd> shifted(n_), fp(n_), step(n_), trial(n_), ft(n_);
        VectorXd gradient;
        for (int iteration = 0; iteration < options_.innerIterations; ++iteration) {
            if (std::none_of(active.begin(), active.end(), [](char a) { return a != 0; })) break;
            // G = ∂f/∂η by forward differences, one simulation per η for every active individual.
            for (std::size_t i = 0; i < n_; ++i)
                if (active[i]) g_[i].resize(f_[i].size(), Eigen::Index(q_));
            for (std::size_t e = 0; e < q_; ++e) {
                for (std::size_t i = 0; i < n_; ++i)
                    if (active[i]) {
                        shifted[i] = eta_[i];
                        shifted[i][Eigen::Index(e)] += options_.differenceStep;
                    }
                if (!Predict(shifted, active, fp)) return kInfinity;
                for (std::size_t i = 0; i < n_; ++i)
                    if (active[i]) g_[i].col(Eigen::Index(e)) = (fp[i] - f_[i]) / options_.differenceStep;
            }
            std::vector<char> searching(n_, 0);
            for (std::size_t i = 0; i < n_; ++i) {
                if (!active[i]) continue;
                IndividualDerivatives(problem_.observed[i], f_[i], g_[i], eta_[i], omegaInverse, error_, gradient,
                                      h_[i]);
                step[i] = -h_[i].ldlt().solve(0.5 * gradient);
                if (q_ == 0 || step[i].lpNorm<Eigen::Infinity>() < tolerance) active[i] = 0;
                else searching[i] = 1;
            }
            // Halving line search on l_i.
            double t = 1;
            for (int halving = 0; halving < 40; ++halving, t *= 0.5) {
                if (std::none_of(searching.begin(), searching.end(), [](char a) { return a != 0; })) break;
                for (std::size_t i = 0; i < n_; ++i)
                    if (searching[i]) trial[i] = eta_[i] + t * step[i];
                if (!Predict(trial, searching, ft)) return kInfinity;
                for (std::size_t i = 0; i < n_; ++i) {
                    if (!searching[i]) continue;
                    const double lt = IndividualObjective(problem_.observed[i], ft[i], trial[i], omegaInverse, error_);
                    if (lt <= l_[i]) {
                        eta_[i] = trial[i];
                        f_[i] = ft[i];
                        l_[i] = lt;
                        searching[i] = 0;
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
        double total = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            if (q_ == 0) {
                total += l_[i];
                continue;
            }
            const Eigen::LLT<MatrixXd> llt(h_[i]);
            if (llt.info() != Eigen::Success) return kInfinity;
            double logDetH = 0;
            for (Eigen::Index k = 0; k < llt.matrixL().rows(); ++k) logDetH += 2 * std::log(llt.matrixLLT()(k, k));
            total += l_[i] + logDetOmega + logDetH;
        }
        return total;
    }

    std::vector<VectorXd> eta_, f_;
    std::vector<MatrixXd> g_, h_;
    std::vector<double> l_;
    long simulations_ = 0;

private:
    const FoceiProblem& problem_;
    Simulator& simulator_;
    const FoceiOptions& options_;
    std::size_t n_, q_;
    VectorXd logTheta_, omega_;
    ResidualError error_;
};

// The estimated parameters as one vector of logarithms: ln θ, ln ω², ln a, ln b (not fixed).
class Packing {
public:
    explicit Packing(const FoceiProblem& problem) : problem_(problem)
    {
        for (std::size_t t = 0; t < problem.thetas.size(); ++t)
            if (!problem.thetas[t].fixed) Add(Kind::Theta, t, problem.thetas[t].name, problem.thetas[t].value);
        for (std::size_t e = 0; e < problem.etas.size(); ++e)
            if (!problem.etas[e].fixed)
                Add(Kind::Omega, e, "omega(" + problem.thetas[problem.etas[e].theta].name + ")",
                    problem.etas[e].variance);
        if (problem.additive && !problem.additiveFixed) Add(Kind::Additive, 0, "sigma(additive)", problem.error.additive);
        if (problem.proportional && !problem.proportionalFixed)
            Add(Kind::Proportional, 0, "sigma(proportional)", problem.error.proportional);
    }

    std::size_t Size() const { return kinds_.size(); }
    const std::vector<std::string>& Names() const { return names_; }
    const std::vector<double>& Start() const { return start_; }

    void Unpack(const std::vector<double>& x, VectorXd& logTheta, VectorXd& omega, ResidualError& error) const
    {
        logTheta.resize(Eigen::Index(problem_.thetas.size()));
        for (std::size_t t = 0; t < problem_.thetas.size(); ++t) logTheta[Eigen::Index(t)] = std::log(problem_.thetas[t].value);
        omega.resize(Eigen::Index(problem_.etas.size()));
        for (std::size_t e = 0; e < problem_.etas.size(); ++e) omega[Eigen::Index(e)] = problem_.etas[e].variance;
        error = problem_.error;
        if (!problem_.additive) error.additive = 0;
        if (!problem_.proportional) error.proportional = 0;
        for (std::size_t k = 0; k < kinds_.size(); ++k) {
            const auto at = Eigen::Index(index_[k]);
            switch (kinds_[k]) {
            case Kind::Theta: logTheta[at] = x[k]; break;
            case Kind::Omega: omega[at] = std::exp(x[k]); break;
            case Kind::Additive: error.additive = std::exp(x[k]); break;
            case Kind::Proportional: error.proportional = std::exp(x[k]); break;
            }
        }
    }

    // Bounds of the search, wide around the start.
    void Bounds(std::vector<double>& low, std::vector<double>& high) const
    {
        for (std::size_t k = 0; k < kinds_.size(); ++k) {
            const double x0 = start_[k];
            switch (kinds_[k]) {
            case Kind::Theta: low.push_back(x0 - 7); high.push_back(x0 + 7); break;
            case Kind::Omega: low.push_back(std::log(1e-7)); high.push_back(std::log(25.0)); break;
            case Kind::Additive: low.push_back(x0 - 9); high.push_back(x0 + 9); break;
            case Kind::Proportional: low.push_back(std::log(1e-5)); high.push_back(std::log(10.0)); break;
            }
        }
    }

private:
    enum class Kind { Theta, Omega, Additive, Proportional };
    void Add(Kind kind, std::size_t index, const std::string& name, double value)
    {
        kinds_.push_back(kind);
        index_.push_back(index);
        names_.push_back(name);
        start_.push_back(std::log(value));
    }
    const FoceiProblem& problem_;
    std::vector<Kind> kinds_;
    std::vector<std::size_t> index_;
    std::vector<std::string> names_;
    std::vector<double> start_;
};

struct OuterContext {
    Modes* modes;
    const Packing* packing;
    const FoceiOptions* options;
    std::vector<VectorXd> bestEta;
    double best = kInfinity;
    int evaluations = 0;
};

double OuterObjective(unsigned n, const double* x, double* gradient, void* data)
{
    (void)gradient;  // derivative-free
    auto& context = *static_cast<OuterContext*>(data);
    VectorXd logTheta, omega;
    ResidualError error;
    context.packing->Unpack(std::vector<double>(x, x + n), logTheta, omega, error);
    context.modes->Set(logTheta, omega, error);
    if (!context.bestEta.empty()) context.modes->eta_ = context.bestEta;
    const double value = context.modes->Objective(context.options->innerTolerance);
    ++context.evaluations;
    if (value < context.best) {
        context.best = value;
        context.bestEta = context.modes->eta_;
    }
    if (context.options->progress) context.options->progress(context.evaluations, context.best);
    return std::isfinite(value) ? value : 1e300;
}

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

double IndividualObjective(const VectorXd& y, const VectorXd& f, const VectorXd& eta, const MatrixXd& omegaInverse,
                           const ResidualError& error)
{
    double l = eta.size() > 0 ? eta.dot(omegaInverse * eta) : 0.0;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const double v = error.Variance(f[j]);
        if (!(v > 0) || !std::isfinite(f[j])) return kInfinity;
        const double r = y[j] - f[j];
        l += kLog2Pi + std::log(v) + r * r / v;
    }
    return l;
}

void IndividualDerivatives(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                           const MatrixXd& omegaInverse, const ResidualError& error, VectorXd& gradient, MatrixXd& h)
{
    gradient = 2.0 * omegaInverse * eta;
    h = omegaInverse;
    const double b2 = error.proportional * error.proportional;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const double v = error.Variance(f[j]);
        const double r = y[j] - f[j];
        const VectorXd gj = g.row(j).transpose();
        const VectorXd dv = 2.0 * b2 * f[j] * gj;  // ∇V
        gradient += -2.0 * r / v * gj + (1.0 / v - r * r / (v * v)) * dv;
        h += gj * gj.transpose() / v + 0.5 * dv * dv.transpose() / (v * v);
    }
}

double FoceiObjective(const FoceiProblem& problem, Simulator& simulator, const VectorXd& theta,
                      const VectorXd& omegaDiagonal, const ResidualError& error, const FoceiOptions& options,
                      std::vector<VectorXd>& eta)
{
    Modes modes(problem, simulator, options);
    modes.Set(theta.array().log().matrix(), omegaDiagonal, error);
    if (eta.size() == modes.eta_.size()) modes.eta_ = eta;
    const double value = modes.Objective(options.innerTolerance);
    eta = modes.eta_;
    return value;
}

VectorXd ConditionalWeightedResiduals(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                                      const MatrixXd& omega, const ResidualError& error)
{
    MatrixXd covariance = g * omega * g.transpose();
    for (Eigen::Index j = 0; j < y.size(); ++j) covariance(j, j) += error.Variance(f[j]);
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

FoceiResult EstimateFocei(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options)
{
    FoceiResult result;
    const std::size_t n = simulator.Individuals();
    const std::size_t q = problem.etas.size();
    Modes modes(problem, simulator, options);
    const Packing packing(problem);

    // Outer optimisation.
    std::vector<double> x = packing.Start();
    OuterContext context{&modes, &packing, &options, {}, kInfinity, 0};
    if (packing.Size() > 0) {
        nlopt::opt optimiser(packing.Size() >= 2 ? nlopt::LN_BOBYQA : nlopt::LN_COBYLA, unsigned(packing.Size()));
        std::vector<double> low, high;
        packing.Bounds(low, high);
        for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::clamp(x[k], low[k], high[k]);
        optimiser.set_lower_bounds(low);
        optimiser.set_upper_bounds(high);
        optimiser.set_min_objective(OuterObjective, &context);
        optimiser.set_ftol_abs(options.outerTolerance);
        optimiser.set_xtol_abs(options.outerStepTolerance);
        optimiser.set_maxeval(options.outerEvaluations);
        optimiser.set_initial_step(0.2);
        double value = 0;
        try {
            const nlopt::result status = optimiser.optimize(x, value);
            result.converged = status == nlopt::FTOL_REACHED || status == nlopt::XTOL_REACHED ||
                               status == nlopt::SUCCESS || status == nlopt::STOPVAL_REACHED;
            result.message = status == nlopt::MAXEVAL_REACHED ? "the evaluation limit was reached"
                             : status == nlopt::FTOL_REACHED   ? "-2LL changed by less than the tolerance"
                             : status == nlopt::XTOL_REACHED   ? "the parameters changed by less than the tolerance"
                                                               : "stopped (" + std::to_string(int(status)) + ")";
        } catch (const std::exception& error) {
            result.message = std::string("the optimisation failed: ") + error.what();
        }
        if (!std::isfinite(context.best)) {
            result.converged = false;
            result.message = "no parameter values gave a finite -2LL";
        }
    } else {
        result.converged = true;
        result.message = "nothing to estimate";
    }
    result.evaluations = context.evaluations;

    // The estimate, with tight modes.
    VectorXd logTheta, omega;
    ResidualError error;
    packing.Unpack(x, logTheta, omega, error);
    modes.Set(logTheta, omega, error);
    if (!context.bestEta.empty()) modes.eta_ = context.bestEta;
    const double tight = options.innerTolerance * 1e-2;
    result.minus2ll = modes.Objective(tight);
    const std::vector<VectorXd> bestEta = modes.eta_;
    const std::vector<VectorXd> bestF = modes.f_;
    const std::vector<MatrixXd> bestG = modes.g_;

    // Covariance step: R = ½ ∇²(−2LL) in the log parameters, Cov = R⁻¹.
    const std::size_t m = packing.Size();
    VectorXd seLog = VectorXd::Constant(Eigen::Index(m), std::nan(""));
    if (options.covariance && m > 0 && std::isfinite(result.minus2ll)) {
        auto at = [&](std::vector<double> point) {
            VectorXd lt, om;
            ResidualError er;
            packing.Unpack(point, lt, om, er);
            modes.Set(lt, om, er);
            modes.eta_ = bestEta;
            return modes.Objective(tight);
        };
        const double h = options.hessianStep;
        MatrixXd hessian = MatrixXd::Zero(Eigen::Index(m), Eigen::Index(m));
        std::vector<double> plus(m), minus(m);
        for (std::size_t a = 0; a < m; ++a) {
            std::vector<double> xp = x, xm = x;
            xp[a] += h;
            xm[a] -= h;
            plus[a] = at(xp);
            minus[a] = at(xm);
            hessian(Eigen::Index(a), Eigen::Index(a)) = (plus[a] - 2 * result.minus2ll + minus[a]) / (h * h);
        }
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = a + 1; b < m; ++b) {
                std::vector<double> pp = x, pm = x, mp = x, mm = x;
                pp[a] += h, pp[b] += h;
                pm[a] += h, pm[b] -= h;
                mp[a] -= h, mp[b] += h;
                mm[a] -= h, mm[b] -= h;
                const double value = (at(pp) - at(pm) - at(mp) + at(mm)) / (4 * h * h);
                hessian(Eigen::Index(a), Eigen::Index(b)) = hessian(Eigen::Index(b), Eigen::Index(a)) = value;
            }
        const MatrixXd information = 0.5 * hessian;
        const Eigen::LLT<MatrixXd> llt(information);
        if (!information.allFinite() || llt.info() != Eigen::Success) {
            result.covarianceMessage = "the matrix of second derivatives of -2LL is not positive definite";
        } else {
            const MatrixXd covariance = llt.solve(MatrixXd::Identity(Eigen::Index(m), Eigen::Index(m)));
            seLog = covariance.diagonal().array().sqrt();
            result.correlation = seLog.cwiseInverse().asDiagonal() * covariance * seLog.cwiseInverse().asDiagonal();
            const Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(result.correlation);
            result.conditionNumber = eigen.eigenvalues().maxCoeff() / eigen.eigenvalues().minCoeff();
            result.correlationNames = packing.Names();
            result.covarianceDone = true;
        }
        modes.Set(logTheta, omega, error);
        modes.eta_ = bestEta;
        modes.f_ = bestF;
        modes.g_ = bestG;
    }

    // Estimates on the natural scale; every one is log-parametrised, so SE = value · SE(log).
    std::size_t k = 0;
    auto se = [&](bool fixed, double value) { return fixed ? std::nan("") : value * seLog[Eigen::Index(k++)]; };
    for (std::size_t t = 0; t < problem.thetas.size(); ++t) {
        const double value = std::exp(logTheta[Eigen::Index(t)]);
        result.theta.push_back({problem.thetas[t].name, value, se(problem.thetas[t].fixed, value), problem.thetas[t].fixed});
    }
    for (std::size_t e = 0; e < q; ++e) {
        const double value = omega[Eigen::Index(e)];
        result.omega.push_back({problem.thetas[problem.etas[e].theta].name, value, se(problem.etas[e].fixed, value),
                                problem.etas[e].fixed});
    }
    if (problem.additive)
        result.sigma.push_back({"additive", error.additive, se(problem.additiveFixed, error.additive), problem.additiveFixed});
    if (problem.proportional)
        result.sigma.push_back({"proportional", error.proportional, se(problem.proportionalFixed, error.proportional),
                                problem.proportionalFixed});

    // Counts and criteria.
    for (const VectorXd& y : problem.observed) result.observations += int(y.size());
    result.estimatedCount = int(m);
    result.aic = result.minus2ll + 2.0 * double(m);
    result.bic = result.minus2ll + double(m) * std::log(double(std::max(result.observations, 1)));

    // Individuals, residuals, shrinkage.
    MatrixXd omegaMatrix = omega.asDiagonal();
    std::vector<char> all(n, 1);
    std::vector<VectorXd> zero(n, VectorXd::Zero(Eigen::Index(q)));
    result.pred.resize(n);
    modes.Predict(zero, all, result.pred);
    if (n > 0) {
        result.typicalValues = modes.Values(0, zero[0]);
        simulator.UsedValues(0, result.typicalValues);
    }
    std::vector<VectorXd> ipred(n);
    modes.Predict(bestEta, all, ipred);  // leaves the modes' values in the simulator
    std::vector<double> allIwres;
    for (std::size_t i = 0; i < n; ++i) {
        result.eta.push_back(bestEta[i]);
        VectorXd values = modes.Values(i, bestEta[i]);
        simulator.UsedValues(i, values);
        result.values.push_back(values);
        result.ipred.push_back(ipred[i]);
        VectorXd iwres(ipred[i].size());
        for (Eigen::Index j = 0; j < iwres.size(); ++j) {
            iwres[j] = (problem.observed[i][j] - ipred[i][j]) / std::sqrt(error.Variance(ipred[i][j]));
            allIwres.push_back(iwres[j]);
        }
        result.iwres.push_back(iwres);
        const MatrixXd g = q > 0 && bestG[i].rows() == ipred[i].size() ? bestG[i] : MatrixXd::Zero(ipred[i].size(), Eigen::Index(q));
        result.cwres.push_back(ConditionalWeightedResiduals(problem.observed[i], ipred[i], g, bestEta[i], omegaMatrix, error));
    }
    result.etaShrinkage.resize(Eigen::Index(q));
    for (std::size_t e = 0; e < q; ++e) {
        std::vector<double> values;
        for (std::size_t i = 0; i < n; ++i) values.push_back(bestEta[i][Eigen::Index(e)]);
        result.etaShrinkage[Eigen::Index(e)] = EtaShrinkage(values, omega[Eigen::Index(e)]);
    }
    result.epsilonShrinkage = EpsilonShrinkage(allIwres);
    result.simulations = modes.simulations_;
    return result;
}

}  // namespace tessuvan::estimation
