#include "estimation/focei.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <nlopt.hpp>

namespace tessuvan::estimation {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kLargestEtaStep = 1.5;
constexpr double kVarianceFloor = 1e-7;  // the smallest ω² searched: no variability found
const double kLog2Pi = std::log(2.0 * 3.14159265358979323846);

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The estimated parameters as one vector of logarithms: ln θ, ln ω², ln a, ln b (not fixed).
class Packing {
public:
    enum class Kind { Theta, Omega, Additive, Proportional };

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
    Kind KindOf(std::size_t k) const { return kinds_[k]; }
    std::size_t IndexOf(std::size_t k) const { return index_[k]; }
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

    // The quasi-Newton's own coordinates s: the logarithms u above, but ω = √ω² (the SD, on
    // its natural scale) for a variance. Near ω² = 0, −2LL ≈ c + α·ω², which in u = ln ω² is
    // c + α·e^u: its Newton step is −1 whatever ω², so a variance with no support in the data
    // would creep down to its floor one factor e per iteration (ten iterations from 1e-3 to
    // 1e-7), where in ω the same −2LL is a parabola whose step reaches the floor at once.
    double ToLog(std::size_t k, double s) const { return kinds_[k] == Kind::Omega ? 2 * std::log(s) : s; }
    double ToSearch(std::size_t k, double u) const { return kinds_[k] == Kind::Omega ? std::exp(0.5 * u) : u; }
    double LogPerSearch(std::size_t k, double s) const { return kinds_[k] == Kind::Omega ? 2 / s : 1.0; }
    std::vector<double> ToLog(const std::vector<double>& s) const
    {
        std::vector<double> u(s.size());
        for (std::size_t k = 0; k < s.size(); ++k) u[k] = ToLog(k, s[k]);
        return u;
    }
    std::vector<double> ToSearch(const std::vector<double>& u) const
    {
        std::vector<double> s(u.size());
        for (std::size_t k = 0; k < u.size(); ++k) s[k] = ToSearch(k, u[k]);
        return s;
    }

    // Bounds of the search around the start, in its coordinates: a typical value within a
    // factor e³ ≈ 20 of its start, so that the quasi-Newton's first steps (as long as the
    // gradient is large) cannot reach parameters so stiff that a simulation takes the engine's
    // ceiling of steps; a variance ω² within [1e-7, 25].
    void Bounds(std::vector<double>& low, std::vector<double>& high) const
    {
        for (std::size_t k = 0; k < kinds_.size(); ++k) {
            const double x0 = start_[k];
            switch (kinds_[k]) {
            case Kind::Theta: low.push_back(x0 - 3); high.push_back(x0 + 3); break;
            case Kind::Omega: low.push_back(std::sqrt(kVarianceFloor)); high.push_back(5.0); break;
            case Kind::Additive: low.push_back(x0 - 9); high.push_back(x0 + 9); break;
            case Kind::Proportional: low.push_back(std::log(1e-5)); high.push_back(std::log(10.0)); break;
            }
        }
    }

private:
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

// One observation's term of l_i, ℓ(f) = ln V + (y − f)²/V with V = a² + b²f², and the
// derivatives in f that the gradient of −2LL needs: V' = 2b²f, V'' = 2b², and the weight
// w = 1/V + ½V'²/V² of g gᵀ in H. A censored observation has ℓ = −2 ln P(f, V) instead and
// the weight w = ½ ∂²ℓ/∂f² at a fixed V; ℓ's derivatives in V beyond the first, and w's, by
// central differences of the closed forms (relative step 1e-4: about 1e-8 of their size).
struct ObservationTerms {
    double v, v1, v2, r;
    bool censored = false;
    double lf = 0, lv = 0, lff = 0, lfv = 0, lvv = 0, wf = 0, wv = 0;  // censored: partial derivatives
    ObservationTerms(double y, double f, const ResidualError& error)
        : v(error.Variance(f)), v1(2 * error.proportional * error.proportional * f),
          v2(2 * error.proportional * error.proportional), r(y - f)
    {
    }
    ObservationTerms(const VectorXd& y, const VectorXd& f, Eigen::Index j, const Censoring& censoring,
                     const ResidualError& error)
        : ObservationTerms(y[j], f[j], error)
    {
        if (!censoring.Censored(j)) return;
        censored = true;
        double lo, hi;
        CensoredInterval(y, censoring, j, lo, hi);
        const CensoredTerm t = CensoredTermOf(lo, hi, f[j], v);
        lf = t.lf;
        lv = t.lv;
        lff = t.lff;
        const double dv = 1e-4 * v, df = 1e-4 * std::sqrt(v);
        const CensoredTerm vUp = CensoredTermOf(lo, hi, f[j], v + dv), vDown = CensoredTermOf(lo, hi, f[j], v - dv);
        const CensoredTerm fUp = CensoredTermOf(lo, hi, f[j] + df, v), fDown = CensoredTermOf(lo, hi, f[j] - df, v);
        lfv = (vUp.lf - vDown.lf) / (2 * dv);
        lvv = (vUp.lv - vDown.lv) / (2 * dv);
        wv = 0.5 * (vUp.lff - vDown.lff) / (2 * dv);
        wf = 0.5 * (fUp.lff - fDown.lff) / (2 * df);
    }
    double L1() const
    {
        if (censored) return lf + lv * v1;
        return v1 / v - 2 * r / v - r * r * v1 / (v * v);
    }
    double L2() const
    {
        if (censored) return lff + 2 * lfv * v1 + lvv * v1 * v1 + lv * v2;
        return v2 / v - v1 * v1 / (v * v) + 2 / v + 4 * r * v1 / (v * v) - r * r * v2 / (v * v) +
               2 * r * r * v1 * v1 / (v * v * v);
    }
    double W() const { return censored ? 0.5 * lff : 1 / v + 0.5 * v1 * v1 / (v * v); }
    double W1() const
    {
        if (censored) return wf + wv * v1;
        return -v1 / (v * v) + v1 * v2 / (v * v) - v1 * v1 * v1 / (v * v * v);
    }
    // ∂ℓ, ∂ℓ' and ∂w for a residual parameter that moves V by dv and V' by dv1 at fixed f.
    double DL(double dv) const { return censored ? lv * dv : dv * (1 / v - r * r / (v * v)); }
    double DL1(double dv, double dv1) const
    {
        if (censored) return lfv * dv + lvv * dv * v1 + lv * dv1;
        return dv1 * (1 / v - r * r / (v * v)) + dv * (-v1 / (v * v) + 2 * r / (v * v) + 2 * r * r * v1 / (v * v * v));
    }
    double DW(double dv, double dv1) const
    {
        if (censored) return wv * dv;
        return -dv / (v * v) + v1 * dv1 / (v * v) - v1 * v1 * dv / (v * v * v);
    }
};

// The modes of every individual at given population values, −2LL, and its gradient: the inner
// problem, and what the outer optimisation and the covariance step evaluate.
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

    void Set(const VectorXd& logTheta, const VectorXd& omega, const ResidualError& error)
    {
        logTheta_ = logTheta;
        omega_ = omega;
        error_ = error;
    }

    // Individual i's values of every model parameter at η, the typical values moved by
    // logShift (per θ, in ln θ) when given.
    VectorXd Values(std::size_t i, const VectorXd& eta, const VectorXd* logShift = nullptr) const
    {
        (void)i;
        VectorXd v = Eigen::Map<const VectorXd>(problem_.values.data(), Eigen::Index(problem_.values.size()));
        for (std::size_t t = 0; t < problem_.thetas.size(); ++t) {
            const int e = problem_.thetas[t].eta;
            const double shift = logShift ? (*logShift)[Eigen::Index(t)] : 0.0;
            v[Eigen::Index(problem_.thetas[t].parameter)] =
                std::exp(logTheta_[Eigen::Index(t)] + shift + (e >= 0 ? eta[e] : 0.0));
        }
        return v;
    }

    bool Predict(const std::vector<VectorXd>& etas, const std::vector<char>& which, std::vector<VectorXd>& f,
                 const VectorXd* logShift = nullptr)
    {
        std::vector<VectorXd> values(n_);
        for (std::size_t i = 0; i < n_; ++i)
            if (which[i]) values[i] = Values(i, etas[i], logShift);
        ++simulations_;
        return simulator_.Predict(values, which, f);
    }

    // Finds every mode from the current η (a warm start) and returns −2LL (+∞ on failure).
    // Newton steps on l_i with its exact Hessian K (the first-order matrix 2H where K is not
    // positive definite), halved until l_i does not grow; a mode is reached when the step is
    // below the tolerance in every η.
    double Objective(double tolerance)
    {
        const MatrixXd omegaInverse = OmegaInverse();
        double logDetOmega = 0;
        for (std::size_t e = 0; e < q_; ++e) logDetOmega += std::log(omega_[Eigen::Index(e)]);
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
                if (restart[i]) l_[i] = IndividualObjective(problem_.observed[i], f_[i], eta_[i], omegaInverse, error_, CensoringOf(i));
        }
        for (std::size_t i = 0; i < n_; ++i)
            if (!std::isfinite(l_[i])) return kInfinity;
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
            if (!EtaDerivatives(active, failed)) return kInfinity;
            // An individual whose derivatives could not be taken stays where it is, with those
            // of its last point, as one at the iteration limit.
            for (std::size_t i = 0; i < n_; ++i)
                if (failed[i]) active[i] = 0;
            std::vector<char> searching(n_, 0), walled(n_, 0);
            for (std::size_t i = 0; i < n_; ++i) {
                if (!active[i]) continue;
                IndividualDerivatives(problem_.observed[i], f_[i], g_[i], eta_[i], omegaInverse, error_, gradient,
                                      h_[i], CensoringOf(i));
                const Eigen::LLT<MatrixXd> exact(ExactHessian(i, omegaInverse));
                step[i] = exact.info() == Eigen::Success ? VectorXd(-exact.solve(gradient))
                                                         : VectorXd(-h_[i].ldlt().solve(0.5 * gradient));
                const double largest = step[i].lpNorm<Eigen::Infinity>();
                if (largest > radius[i]) step[i] *= radius[i] / largest;
                if (step[i].lpNorm<Eigen::Infinity>() < tolerance) active[i] = 0;
                else searching[i] = 1;
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
                    const double lt = IndividualObjective(problem_.observed[i], ft[i], trial[i], omegaInverse, error_, CensoringOf(i));
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

    // Each individual's mode solved again from η = 0, kept where l_i is lower than at the
    // present mode: a mode carried by warm starts into another basin (a swap of absorption and
    // elimination, say) on the way. Returns how many individuals changed basin.
    int ReviseModes(double tolerance)
    {
        if (q_ == 0 || !std::isfinite(Objective(tolerance))) return 0;
        const std::vector<VectorXd> warm = eta_;
        const std::vector<double> warmL = l_;
        for (VectorXd& eta : eta_) eta.setZero();
        if (!std::isfinite(Objective(tolerance))) {
            eta_ = warm;
            return 0;
        }
        int changed = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            if (l_[i] < warmL[i] - 1e-6) ++changed;
            else eta_[i] = warm[i];
        }
        return changed;
    }

    // The gradient of −2LL in the packed log parameters at the modes the last (finite)
    // Objective found, whose last Newton iteration left G and ∇²f at every mode,
    // and, per individual, the modes' sensitivity dη̂/dx (sensitivity_, q × m) for warm starts.
    //
    // −2LL = Σ_i O_i(η̂_i(x), x) with O_i = l_i + ln|Ω| + ln|H_i|. At the mode ∂l_i/∂η = 0, so
    //     dO_i/dx = ∂O_i/∂x + cᵀ dη̂/dx,   c_k = ∂ln|H|/∂η_k = tr(H⁻¹ ∂H/∂η_k),
    // and dη̂/dx = −K⁻¹ ∂(∇_η l)/∂x by the implicit function theorem, K = ∇²_η l the exact
    // Hessian. Both c and K need the second derivatives of f in η, which the last Newton
    // iteration left; those in the ln θ of typical values without η are taken here. A θ with
    // an η enters f only through ln θ + η, so its f-derivatives are those in η.
    bool Gradient(const Packing& packing, VectorXd& result)
    {
        const std::size_t m = packing.Size();
        result = VectorXd::Zero(Eigen::Index(m));
        std::vector<char> all(n_, 1);
        const double d = options_.secondDifferenceStep;
        const std::size_t s = q_ + plain_.size();
        // The further directions: f at z + d·e_k, at z + d·e_k + d·e_l (l < q), and the first
        // derivative at the small step of G.
        std::vector<MatrixXd> plainG(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            plainG[i].resize(f_[i].size(), Eigen::Index(plain_.size()));
        }
        std::vector<VectorXd> moved(n_), pair(n_), small(n_);
        for (std::size_t k = q_; k < s; ++k) {
            if (!PredictMoved(k, -1, d, all, moved) || !PredictMoved(k, -1, options_.differenceStep, all, small))
                return false;
            for (std::size_t i = 0; i < n_; ++i) {
                plainG[i].col(Eigen::Index(k - q_)) = (small[i] - f_[i]) / options_.differenceStep;
                second_[i][k].resize(f_[i].size(), Eigen::Index(q_));
            }
            for (std::size_t l = 0; l < q_; ++l) {
                if (!PredictMoved(k, int(l), d, all, pair)) return false;
                for (std::size_t i = 0; i < n_; ++i)
                    second_[i][k].col(Eigen::Index(l)) = (pair[i] - moved[i] - moved_[l][i] + f_[i]) / (d * d);
            }
        }

        const Eigen::Index q = Eigen::Index(q_);
        const MatrixXd omegaInverse = OmegaInverse();
        for (std::size_t i = 0; i < n_; ++i) {
            const VectorXd& y = problem_.observed[i];
            const VectorXd& f = f_[i];
            const MatrixXd& g = g_[i];
            const VectorXd& eta = eta_[i];
            const Eigen::Index nObs = y.size();
            std::vector<ObservationTerms> terms;
            terms.reserve(std::size_t(nObs));
            for (Eigen::Index j = 0; j < nObs; ++j) terms.emplace_back(y, f, j, CensoringOf(i), error_);
            // H⁻¹, K and c.
            const MatrixXd hInverse = q > 0 ? MatrixXd(h_[i].ldlt().solve(MatrixXd::Identity(q, q))) : MatrixXd();
            const MatrixXd hInverseG = q > 0 ? MatrixXd(hInverse * g.transpose()) : MatrixXd(0, nObs);  // q × n
            VectorXd c = VectorXd::Zero(q);
            VectorXd quadratic(nObs);
            for (Eigen::Index j = 0; j < nObs; ++j) {
                quadratic[j] = q > 0 ? g.row(j).dot(hInverseG.col(j)) : 0.0;
                const ObservationTerms& term = terms[std::size_t(j)];
                for (Eigen::Index a = 0; a < q; ++a)
                    c[a] += term.W1() * g(j, a) * quadratic[j] +
                            2 * term.W() * second_[i][std::size_t(a)].row(j).dot(hInverseG.col(j));
            }
            MatrixXd kInverse;
            if (q > 0) {
                const Eigen::LLT<MatrixXd> kLlt(ExactHessian(i, omegaInverse));
                if (kLlt.info() == Eigen::Success) kInverse = kLlt.solve(MatrixXd::Identity(q, q));
                else kInverse = 0.5 * hInverse;  // away from a minimum: the first-order matrix
            }
            const VectorXd kc = q > 0 ? VectorXd(kInverse * c) : VectorXd();
            sensitivity_[i] = MatrixXd::Zero(q, Eigen::Index(m));
            for (std::size_t p = 0; p < m; ++p) {
                const std::size_t index = packing.IndexOf(p);
                double total = 0;
                VectorXd dGradient = VectorXd::Zero(q);  // ∂(∇_η l)/∂x_p at fixed η
                switch (packing.KindOf(p)) {
                case Packing::Kind::Theta: {
                    const int e = problem_.thetas[index].eta;
                    if (e >= 0) {
                        // The data part moves as under η_e, the prior term not at all:
                        // ∂l/∂x = −2η_e/ω_e² at the mode, ∂ln|H|/∂x = c_e, ∂(∇l)/∂x = K e_e − 2/ω_e² e_e.
                        const double w = 1.0 / omega_[e];
                        total = -2 * eta[e] * w + 2 * w * kc[e];
                        sensitivity_[i](e, Eigen::Index(p)) = -1.0;
                        sensitivity_[i].col(Eigen::Index(p)) += 2 * w * kInverse.col(e);
                        result[Eigen::Index(p)] += total;
                        continue;
                    }
                    const std::size_t direction = q_ + std::size_t(plainIndex_[index]);
                    const MatrixXd& moves = second_[i][direction];
                    for (Eigen::Index j = 0; j < nObs; ++j) {
                        const ObservationTerms& term = terms[std::size_t(j)];
                        const double df = plainG[i](j, Eigen::Index(direction - q_));
                        total += term.L1() * df;
                        if (q > 0) {
                            total += term.W1() * df * quadratic[j] + 2 * term.W() * moves.row(j).dot(hInverseG.col(j));
                            dGradient += term.L2() * df * g.row(j).transpose() + term.L1() * moves.row(j).transpose();
                        }
                    }
                    break;
                }
                case Packing::Kind::Omega: {
                    const Eigen::Index e = Eigen::Index(index);
                    const double w = 1.0 / omega_[e];
                    total = -eta[e] * eta[e] * w + 1.0 - hInverse(e, e) * w;
                    dGradient[e] = -2 * eta[e] * w;
                    break;
                }
                case Packing::Kind::Additive:
                case Packing::Kind::Proportional: {
                    const bool additive = packing.KindOf(p) == Packing::Kind::Additive;
                    for (Eigen::Index j = 0; j < nObs; ++j) {
                        const ObservationTerms& term = terms[std::size_t(j)];
                        // x = ln a: V moves by 2a², V' not; x = ln b: V by 2b²f², V' by 2V'.
                        const double dv = additive ? 2 * error_.additive * error_.additive
                                                   : 2 * error_.proportional * error_.proportional * f[j] * f[j];
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
                    sensitivity_[i].col(Eigen::Index(p)) = -kInverse * dGradient;
                }
                result[Eigen::Index(p)] += total;
            }
        }
        return result.allFinite();
    }

    std::vector<VectorXd> eta_, f_;
    std::vector<MatrixXd> g_, h_;
    std::vector<MatrixXd> sensitivity_;  // [i]: dη̂_i/dx of the last Gradient
    std::vector<double> l_;
    long simulations_ = 0;

private:
    // f of the individuals in which at z + step·e_k (+ step·e_l when l ≥ 0), z = (η, ln θ of
    // the free typical values without η).
    bool PredictMoved(std::size_t k, int l, double step, const std::vector<char>& which, std::vector<VectorXd>& out)
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
    bool EtaDerivatives(const std::vector<char>& which, std::vector<char>& failed)
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

    // K = ∇²_η l_i = 2Ω⁻¹ + Σ_j [ℓ''_j g_j g_jᵀ + ℓ'_j ∇²f_j].
    MatrixXd ExactHessian(std::size_t i, const MatrixXd& omegaInverse) const
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

    const estimation::Censoring& CensoringOf(std::size_t i) const
    {
        static const estimation::Censoring none;
        return i < problem_.censoring.size() ? problem_.censoring[i] : none;
    }

    MatrixXd OmegaInverse() const
    {
        MatrixXd inverse = MatrixXd::Zero(Eigen::Index(q_), Eigen::Index(q_));
        for (std::size_t e = 0; e < q_; ++e) inverse(Eigen::Index(e), Eigen::Index(e)) = 1.0 / omega_[Eigen::Index(e)];
        return inverse;
    }

    const FoceiProblem& problem_;
    Simulator& simulator_;
    const FoceiOptions& options_;
    std::size_t n_, q_;
    VectorXd logTheta_, omega_;
    ResidualError error_;
    std::vector<std::size_t> plain_;          // free θ without η: the further directions
    std::vector<int> plainIndex_;             // [θ]: its place among them, −1 none
    std::vector<std::vector<MatrixXd>> second_;  // [i][k]: ∂²f/∂z_k∂η (n_obs × q)
    std::vector<std::vector<VectorXd>> moved_;   // [k][i]: f at η + d·e_k
    std::vector<VectorXd> pair_;                 // [i]: f at η + d·e_k + d·e_l
};

// −2LL and its gradient at x, the modes started from those of the best point so far moved by
// their sensitivity (a first-order prediction of the new modes).
struct OuterContext {
    Modes* modes;
    const Packing* packing;
    const FoceiOptions* options;
    std::vector<VectorXd> bestEta;
    std::vector<MatrixXd> bestSensitivity;
    std::vector<double> bestX;       // in the log parameters
    std::vector<double> bestSearch;  // the same point in the quasi-Newton's coordinates
    VectorXd bestGradient;           // in the log parameters
    double best = kInfinity;
    int evaluations = 0;

    void WarmStart(const std::vector<double>& x)
    {
        if (bestEta.empty()) return;
        modes->eta_ = bestEta;
        if (bestSensitivity.size() != bestEta.size()) return;
        VectorXd dx(Eigen::Index(x.size()));
        for (std::size_t k = 0; k < x.size(); ++k) dx[Eigen::Index(k)] = x[k] - bestX[k];
        if (dx.lpNorm<Eigen::Infinity>() > 0.5) return;  // too far for a first-order prediction
        for (std::size_t i = 0; i < bestEta.size(); ++i)
            if (bestSensitivity[i].cols() == dx.size()) modes->eta_[i] += bestSensitivity[i] * dx;
    }

    double Evaluate(const std::vector<double>& x, double tolerance, VectorXd* gradient)
    {
        VectorXd logTheta, omega;
        ResidualError error;
        packing->Unpack(x, logTheta, omega, error);
        modes->Set(logTheta, omega, error);
        WarmStart(x);
        double value = modes->Objective(tolerance);
        if (gradient && std::isfinite(value) && !modes->Gradient(*packing, *gradient)) value = kInfinity;
        return value;
    }
};

double OuterObjective(unsigned n, const double* x, double* gradient, void* data)
{
    auto& context = *static_cast<OuterContext*>(data);
    const std::vector<double> search(x, x + n);
    const std::vector<double> point = context.packing->ToLog(search);
    // A trial whose typical values lie further than the trust radius from the best point's (in
    // ln θ) is a wall the line search backs away from, refused before it is evaluated: the
    // quasi-Newton's first trial is the start minus the raw gradient, whose size (hundreds, with
    // hundreds of observations) throws it to the edges of the search, where modes run into
    // corners of the parameters the engine can integrate only in its ceiling of steps, if at
    // all. Variances and residual errors change no simulation and are free to move.
    bool far = false;
    if (!context.bestX.empty())
        for (unsigned k = 0; k < n; ++k)
            far = far || (context.packing->KindOf(k) == Packing::Kind::Theta &&
                          std::fabs(point[k] - context.bestX[k]) > context.options->trustRadius);
    VectorXd g;
    const double value = far ? kInfinity : context.Evaluate(point, context.options->innerTolerance, gradient ? &g : nullptr);
    if (!far) ++context.evaluations;
    if (value < context.best) {
        context.best = value;
        context.bestEta = context.modes->eta_;
        context.bestX = point;
        context.bestSearch = search;
        context.bestSensitivity = gradient ? context.modes->sensitivity_ : std::vector<MatrixXd>();
        context.bestGradient = g;
    }
    if (context.options->progress && !far) context.options->progress(context.evaluations, context.best);
    if (!std::isfinite(value)) {
        // Outside where the model can be evaluated: a wall the line search backs away from.
        if (gradient) std::fill(gradient, gradient + n, 0.0);
        return 1e300;
    }
    if (gradient)
        for (unsigned k = 0; k < n; ++k) gradient[k] = g[Eigen::Index(k)] * context.packing->LogPerSearch(k, x[k]);
    return value;
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

CensoredTerm CensoredTermOf(double lo, double hi, double f, double v)
{
    CensoredTerm t;
    const double s = std::sqrt(v);
    const double zl = (lo - f) / s, zh = (hi - f) / s;  // ±∞ for an open end
    // P = Φ(zh) − Φ(zl), from the upper tails when the interval lies there, so that a small
    // probability keeps its digits (Φ(z) = ½ erfc(−z/√2)).
    const double p = zl > 0 ? 0.5 * std::erfc(zl / std::sqrt(2.0)) - 0.5 * std::erfc(zh / std::sqrt(2.0))
                            : 0.5 * std::erfc(-zh / std::sqrt(2.0)) - 0.5 * std::erfc(-zl / std::sqrt(2.0));
    if (!(p > 0)) {
        t.l = kInfinity;
        return t;
    }
    const auto density = [](double z) { return std::isfinite(z) ? std::exp(-0.5 * z * z - 0.5 * kLog2Pi) : 0.0; };
    const auto zDensity = [&](double z) { return std::isfinite(z) ? z * density(z) : 0.0; };
    // dz/df = −1/s, dz/dV = −z/(2V), φ'(z) = −zφ(z).
    const double dDensity = density(zh) - density(zl), dzDensity = zDensity(zh) - zDensity(zl);
    t.l = -2 * std::log(p);
    t.lf = 2 * dDensity / (s * p);
    t.lv = dzDensity / (v * p);
    t.lff = 2 * dzDensity / (v * p) + 0.5 * t.lf * t.lf;
    return t;
}

void CensoredInterval(const VectorXd& y, const Censoring& censoring, Eigen::Index j, double& lo, double& hi)
{
    const double other = censoring.limit.size() > j ? censoring.limit[j] : std::nan("");
    if (censoring.kind[j] > 0) {
        lo = std::isnan(other) ? -kInfinity : other;
        hi = y[j];
    } else {
        lo = y[j];
        hi = std::isnan(other) ? kInfinity : other;
    }
}

double IndividualObjective(const VectorXd& y, const VectorXd& f, const VectorXd& eta, const MatrixXd& omegaInverse,
                           const ResidualError& error, const Censoring& censoring)
{
    double l = eta.size() > 0 ? eta.dot(omegaInverse * eta) : 0.0;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const double v = error.Variance(f[j]);
        if (!(v > 0) || !std::isfinite(f[j])) return kInfinity;
        if (censoring.Censored(j)) {
            double lo, hi;
            CensoredInterval(y, censoring, j, lo, hi);
            l += CensoredTermOf(lo, hi, f[j], v).l;
            continue;
        }
        const double r = y[j] - f[j];
        l += kLog2Pi + std::log(v) + r * r / v;
    }
    return l;
}

void IndividualDerivatives(const VectorXd& y, const VectorXd& f, const MatrixXd& g, const VectorXd& eta,
                           const MatrixXd& omegaInverse, const ResidualError& error, VectorXd& gradient, MatrixXd& h,
                           const Censoring& censoring)
{
    gradient = 2.0 * omegaInverse * eta;
    h = omegaInverse;
    const double b2 = error.proportional * error.proportional;
    for (Eigen::Index j = 0; j < y.size(); ++j) {
        const VectorXd gj = g.row(j).transpose();
        if (censoring.Censored(j)) {
            const ObservationTerms term(y, f, j, censoring, error);
            gradient += term.L1() * gj;
            h += term.W() * gj * gj.transpose();
            continue;
        }
        const double v = error.Variance(f[j]);
        const double r = y[j] - f[j];
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

double FoceiGradient(const FoceiProblem& problem, Simulator& simulator, const std::vector<double>& x,
                     const FoceiOptions& options, VectorXd& gradient)
{
    Modes modes(problem, simulator, options);
    const Packing packing(problem);
    VectorXd logTheta, omega;
    ResidualError error;
    packing.Unpack(x, logTheta, omega, error);
    modes.Set(logTheta, omega, error);
    const double value = modes.Objective(options.innerTolerance);
    if (!std::isfinite(value) || !modes.Gradient(packing, gradient)) return kInfinity;
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

    // Outer optimisation: quasi-Newton (NLopt's L-BFGS with bounds) on the analytic gradient.
    std::vector<double> x = packing.ToSearch(packing.Start());
    std::vector<double> low, high;
    packing.Bounds(low, high);
    OuterContext context{&modes, &packing, &options, {}, {}, {}, {}, {}, kInfinity, 0};
    // Whether the best point is a minimum within the bounds: no component of the gradient
    // above the tolerance, except those pressing against a bound the point is at.
    auto stationary = [&] {
        if (context.bestGradient.size() != Eigen::Index(x.size())) return false;
        for (std::size_t k = 0; k < x.size(); ++k) {
            const double g = context.bestGradient[Eigen::Index(k)];
            const bool pressing =
                (g > 0 && context.bestSearch[k] <= low[k] + 1e-9) || (g < 0 && context.bestSearch[k] >= high[k] - 1e-9);
            if (!pressing && std::fabs(g) > options.gradientTolerance) return false;
        }
        return true;
    };
    if (packing.Size() > 0) {
        nlopt::opt optimiser(nlopt::LD_LBFGS, unsigned(packing.Size()));
        for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::clamp(x[k], low[k], high[k]);
        optimiser.set_lower_bounds(low);
        optimiser.set_upper_bounds(high);
        optimiser.set_min_objective(OuterObjective, &context);
        optimiser.set_ftol_abs(options.outerTolerance);
        optimiser.set_xtol_abs(options.outerStepTolerance);
        optimiser.set_maxeval(options.outerEvaluations);
        // L-BFGS may stop on a small change of −2LL (or give up in its line search) short of the
        // minimum: it starts again from the best point, with a fresh curvature memory, until the
        // gradient there vanishes within its tolerance.
        for (int attempt = 0; attempt <= options.outerRestarts; ++attempt) {
            double value = 0;
            bool limit = false;
            try {
                const nlopt::result status = optimiser.optimize(x, value);
                limit = status == nlopt::MAXEVAL_REACHED;
                result.message = limit                            ? "the evaluation limit was reached"
                                 : status == nlopt::FTOL_REACHED ? "-2LL changed by less than the tolerance"
                                 : status == nlopt::XTOL_REACHED ? "the parameters changed by less than the tolerance"
                                 : status == nlopt::SUCCESS      ? "the gradient vanished"
                                                                 : "stopped (" + std::to_string(int(status)) + ")";
            } catch (const std::exception& error) {
                // NLopt's line search gives up where −2LL's changes drown in the noise of the
                // modes: a minimum when the gradient there says so.
                result.message = std::string("the optimisation failed: ") + error.what();
            }
            if (!context.bestSearch.empty()) x = context.bestSearch;
            result.converged = stationary();
            if (result.converged || limit || !std::isfinite(context.best)) break;
        }
        // Modes from η = 0 at the estimate; where some are lower, the search goes on from them.
        {
            VectorXd lt, om;
            ResidualError er;
            packing.Unpack(packing.ToLog(x), lt, om, er);
            modes.Set(lt, om, er);
            modes.eta_ = context.bestEta;
        }
        if (std::isfinite(context.best) && modes.ReviseModes(options.innerTolerance) > 0) {
            context.bestEta = modes.eta_;
            context.bestSensitivity.clear();
            context.best = kInfinity;
            for (int attempt = 0; attempt <= options.outerRestarts; ++attempt) {
                double value = 0;
                bool limit = false;
                try {
                    limit = optimiser.optimize(x, value) == nlopt::MAXEVAL_REACHED;
                } catch (const std::exception&) {
                }
                if (!context.bestSearch.empty()) x = context.bestSearch;
                result.converged = stationary();
                if (result.converged || limit || !std::isfinite(context.best)) break;
            }
            result.message += ", then again from modes found afresh";
        }
        if (result.converged) result.message += ", the gradient below its tolerance";
        else if (std::isfinite(context.best)) result.message += ", but the gradient did not vanish";
        if (!std::isfinite(context.best)) {
            result.converged = false;
            result.message = "no parameter values gave a finite -2LL";
        }
    } else {
        result.converged = true;
        result.message = "nothing to estimate";
    }
    result.evaluations = context.evaluations;

    // An estimate pressed against an edge of the search that is not a variance's floor (a
    // typical value a factor e³ from its start, a variance or residual error at its ceiling)
    // is no optimum: the caller is told, rather than reading it as one.
    for (std::size_t k = 0; k < packing.Size(); ++k) {
        const bool floorOfVariance = packing.KindOf(k) == Packing::Kind::Omega || packing.KindOf(k) == Packing::Kind::Proportional;
        const double margin = 1e-3;
        if (x[k] > high[k] - margin || (!floorOfVariance && x[k] < low[k] + margin))
            result.atSearchEdge.push_back(packing.Names()[k]);
    }
    x = packing.ToLog(x);  // from here on, the log parameters

    // The estimate, with tight modes.
    VectorXd logTheta, omega;
    ResidualError error;
    packing.Unpack(x, logTheta, omega, error);
    const double tight = options.innerTolerance * 1e-2;
    result.minus2ll = context.Evaluate(x, tight, nullptr);
    const std::vector<VectorXd> bestEta = modes.eta_;
    const std::vector<VectorXd> bestF = modes.f_;
    const std::vector<MatrixXd> bestG = modes.g_;

    // Covariance step: R = ½ ∇²(−2LL) in the log parameters by central differences of the
    // gradient, Cov = R⁻¹. A variance (or proportional error) at the lower bound of its search
    // has a flat −2LL there and no standard error: it stays fixed at its estimate, and the
    // others' covariance is conditional on it.
    const std::size_t m = packing.Size();
    VectorXd seLog = VectorXd::Constant(Eigen::Index(m), std::nan(""));
    if (options.covariance && m > 0 && std::isfinite(result.minus2ll)) {
        std::vector<std::size_t> kept;
        std::vector<std::string> atBound;
        for (std::size_t k = 0; k < m; ++k) {
            const bool bounded = packing.KindOf(k) == Packing::Kind::Omega || packing.KindOf(k) == Packing::Kind::Proportional;
            if (bounded && x[k] < packing.ToLog(k, low[k]) + options.boundaryMargin) atBound.push_back(packing.Names()[k]);
            else kept.push_back(k);
        }
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
                hessian(b, a) = (plus[Eigen::Index(kept[std::size_t(b)])] - minus[Eigen::Index(kept[std::size_t(b)])]) / (2 * h);
        }
        hessian = 0.5 * (hessian + hessian.transpose()).eval();
        const MatrixXd information = 0.5 * hessian;
        const Eigen::LLT<MatrixXd> llt(information);
        if (!finite || !information.allFinite() || llt.info() != Eigen::Success) {
            result.covarianceMessage = "the matrix of second derivatives of -2LL is not positive definite";
        } else {
            const MatrixXd covariance = llt.solve(MatrixXd::Identity(r, r));
            const VectorXd se = covariance.diagonal().array().sqrt();
            for (Eigen::Index a = 0; a < r; ++a) seLog[Eigen::Index(kept[std::size_t(a)])] = se[a];
            result.correlation = se.cwiseInverse().asDiagonal() * covariance * se.cwiseInverse().asDiagonal();
            const Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(result.correlation);
            result.conditionNumber = eigen.eigenvalues().maxCoeff() / eigen.eigenvalues().minCoeff();
            for (std::size_t k : kept) result.correlationNames.push_back(packing.Names()[k]);
            result.covarianceDone = true;
        }
        for (const std::string& name : atBound) {
            result.covarianceMessage += std::string(result.covarianceMessage.empty() ? "" : "; ") + name +
                                        " is at the lower bound of its search (near 0): held fixed there, no standard error";
            result.atBound.push_back(name);
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
    for (const Censoring& censoring : problem.censoring) result.censored += int((censoring.kind.array() != 0).count());
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
        static const Censoring none;
        const Censoring& censoring = i < problem.censoring.size() ? problem.censoring[i] : none;
        VectorXd iwres(ipred[i].size());
        for (Eigen::Index j = 0; j < iwres.size(); ++j) {
            if (censoring.Censored(j)) {
                iwres[j] = std::nan("");  // a censored value has no residual
                continue;
            }
            iwres[j] = (problem.observed[i][j] - ipred[i][j]) / std::sqrt(error.Variance(ipred[i][j]));
            allIwres.push_back(iwres[j]);
        }
        result.iwres.push_back(iwres);
        const MatrixXd g = q > 0 && bestG[i].rows() == ipred[i].size() ? bestG[i] : MatrixXd::Zero(ipred[i].size(), Eigen::Index(q));
        if (!censoring.Any()) {
            result.cwres.push_back(ConditionalWeightedResiduals(problem.observed[i], ipred[i], g, bestEta[i], omegaMatrix, error));
            continue;
        }
        // CWRES of the observed values alone (their joint linearised distribution), NaN censored.
        std::vector<Eigen::Index> kept;
        for (Eigen::Index j = 0; j < ipred[i].size(); ++j)
            if (!censoring.Censored(j)) kept.push_back(j);
        VectorXd cwres = VectorXd::Constant(ipred[i].size(), std::nan(""));
        if (!kept.empty()) {
            const Eigen::Index k = Eigen::Index(kept.size());
            VectorXd y(k), f(k);
            MatrixXd gk(k, g.cols());
            for (Eigen::Index m = 0; m < k; ++m) {
                y[m] = problem.observed[i][kept[std::size_t(m)]];
                f[m] = ipred[i][kept[std::size_t(m)]];
                gk.row(m) = g.row(kept[std::size_t(m)]);
            }
            const VectorXd part = ConditionalWeightedResiduals(y, f, gk, bestEta[i], omegaMatrix, error);
            for (Eigen::Index m = 0; m < k; ++m) cwres[kept[std::size_t(m)]] = part[m];
        }
        result.cwres.push_back(cwres);
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
