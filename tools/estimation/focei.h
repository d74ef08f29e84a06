// Population estimation by the first-order conditional estimation with interaction (FOCEI).
//
// Model. Parameter p of individual i is log-normal around its typical value θ:
//     φ_ip = θ_p · exp(η_ip),   η_i ~ N(0, Ω)   (Ω block diagonal; a parameter without
// variability has no η), and observation j of i is y_ij = f_ij(φ_i) + ε_ij with the residual variance
//     V_ij = a² + b²·f_ij²      (a the additive SD in the units of y, b the proportional fraction),
// a and b those of the error model of the observation's output (Censoring::error); an exponential
// error is additive on ln y, its observations and predictions given as ln y and ln f.
//
// Inner problem: each individual's mode η̂_i minimises
//     l_i(η) = Σ_j [ ln(2π V_ij) + (y_ij − f_ij)² / V_ij ] + ηᵀ Ω⁻¹ η,
// by Newton steps with the first-order (FOCEI) matrix
//     H_i = Ω⁻¹ + Σ_j [ g_j g_jᵀ / V_ij + ½ ∇V_ij ∇V_ijᵀ / V_ij² ],   g_j = ∂f_ij/∂η, ∇V = 2b² f g,
// the derivatives g by forward differences of the simulator in log φ.
//
// Outer problem: the Laplace approximation of −2 log L with that matrix,
//     −2LL = Σ_i [ l_i(η̂_i) + ln|Ω| + ln|H_i(η̂_i)| ],
// which includes the constant n·ln 2π, is minimised over ln θ, ln ω² of the independent η,
// the Cholesky factor L of each larger block (Ω_b = L Lᵀ: ln L_rr and L_rc, r > c, so that
// Ω_b stays positive definite), ln a and ln b by a quasi-Newton method (NLopt's L-BFGS
// within bounds, searching ω = √ω² rather than ln ω², and L_rr rather than ln L_rr) on
// its analytic gradient: the envelope
// theorem for l_i at its mode, and the dependence of ln|H_i| on the mode through the implicit
// function theorem, with the second derivatives of f by second differences. Each evaluation
// warm-starts the modes from the best point's, moved by their sensitivity dη̂/dx.
// For a model linear in η with a constant V the expression is the exact marginal likelihood.
//
// Censored observations (the M3 method): a value known only to lie in [lo, hi] (below a limit
// of quantification, lo = −∞, hi = the limit; above one, lo = the limit, hi = +∞; or between a
// limit and a second one) has the term ℓ = −2 ln[Φ((hi − f)/√V) − Φ((lo − f)/√V)] in place of
// ln(2πV) + (y − f)²/V. Its weight in H is ½ ∂²ℓ/∂f² at a fixed V, the curvature in f alone
// (non-negative, the probability being log-concave in f): the terms through V' that the
// observed ones carry are left out, a Gauss–Newton-like approximation of the Laplacian at the
// mode, exact for an additive error.
//
// Covariance step: R⁻¹, the inverse of the observed information R = ½ ∇²(−2LL), by central
// differences of the gradient in the estimated (log) parameters, carried to the natural scale
// by the delta method (a block's covariances through ∂(L Lᵀ)/∂L). A variance at the lower
// bound of its search is held fixed there.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "estimation/simulator.h"
#include "population/population_json.h"
#include "population/population_model.h"

namespace tessuvan::estimation {

// V = a² + b²·f² (population_model.h).
using population::ResidualError;

// What the likelihood needs of one individual's observations besides their values: which are
// censored, and which residual error model weighs each.
struct Censoring {
    Eigen::VectorXi kind;   // per observation: 0 observed; 1 below y (y the limit); −1 above y
    Eigen::VectorXd limit;  // the interval's other end; NaN when none (−∞ below, +∞ above)
    Eigen::VectorXi error;  // per observation: its error model (FoceiProblem::errors); empty: the first
    bool Any() const { return kind.size() > 0 && (kind.array() != 0).any(); }
    bool Censored(Eigen::Index j) const { return kind.size() > j && kind[j] != 0; }
    std::size_t ErrorOf(Eigen::Index j) const { return error.size() > j ? std::size_t(error[j]) : 0; }
};

// The residual errors' values, one per error model (a single one converts to this).
struct ResidualErrors {
    std::vector<ResidualError> of;
    ResidualErrors() = default;
    ResidualErrors(const ResidualError& one) : of{one} {}  // NOLINT: one error model for every observation
    // A single error model weighs every observation, whatever its output.
    std::size_t IndexOf(const Censoring& censoring, Eigen::Index j) const
    {
        return of.size() == 1 ? 0 : censoring.ErrorOf(j);
    }
    const ResidualError& At(const Censoring& censoring, Eigen::Index j) const { return of.at(IndexOf(censoring, j)); }
};

// A censored observation's term ℓ(f, V) and its derivatives in f and V.
struct CensoredTerm {
    double l = 0, lf = 0, lv = 0, lff = 0;  // ℓ, ∂ℓ/∂f, ∂ℓ/∂V, ∂²ℓ/∂f² (V fixed); ℓ = +∞ when P = 0
};
// lo, hi: the interval (±∞ for none); v > 0.
CensoredTerm CensoredTermOf(double lo, double hi, double f, double v);
// The interval of observation j of y.
void CensoredInterval(const Eigen::VectorXd& y, const Censoring& censoring, Eigen::Index j, double& lo, double& hi);

struct FoceiProblem {
    std::vector<double> values;  // every model parameter's value where no θ sets it
    struct Theta {
        std::string name;
        std::size_t parameter = 0;  // 0-based model parameter it sets
        double value = 1;           // initial typical value (positive on the log scale, in (0, 1) on the logit)
        bool fixed = false;
        int eta = -1;                                      // its random effect, −1 = none
        population::Scale scale = population::Scale::Log;  // φ = h(k(θ) + η), searched in k(θ)
    };
    std::vector<Theta> thetas;
    struct Eta {
        std::size_t theta = 0;
        double variance = 0.1;  // initial ω²
        bool fixed = false;
        int block = -1;  // its block of `blocks`, −1 = an η independent of the others
        // A κ of inter-occasion variability: the first κ of its parameter carries the shared
        // variance π² (`iov` the parameter's name), the others tie to it (its index; −1 none).
        std::string iov{};
        int tie = -1;
    };
    std::vector<Eta> etas;
    // The blocks of Ω larger than 1×1, each over the consecutive η first, first + 1, ...
    struct Block {
        std::size_t first = 0;
        Eigen::MatrixXd covariance;  // the start, positive definite
        bool fixed = false;
    };
    std::vector<Block> blocks;
    // The residual error models: one for every observation, or one per output (Censoring::error
    // says which weighs an observation). An exponential one is additive on ln y: its observations
    // and predictions are given here as ln y and ln f.
    struct Error {
        std::string output;  // empty: every observation
        ResidualError value;
        bool additive = false, additiveFixed = false;
        bool proportional = false, proportionalFixed = false;
    };
    std::vector<Error> errors;
    std::vector<Eigen::VectorXd> observed;  // [i]: y of individual i, in the simulator's order
    std::vector<Censoring> censoring;       // [i]: which of them are censored; empty = none
};

// The θ, Ω and residual error of a population model as a problem (no values, no observations
// yet), each θ setting the model parameter of its name in `parameters` (std::invalid_argument
// when one has none, or an η no θ).
FoceiProblem FoceiProblemOf(const population::PopulationModel& model, const std::vector<std::string>& parameters);

struct FoceiOptions {
    double innerTolerance = 1e-7;  // largest Newton step of any η that counts as the mode
    int innerIterations = 200;
    double differenceStep = 1e-7;        // step of the forward differences, in ln φ
    double secondDifferenceStep = 1e-4;  // of the second derivatives of f, in ln φ
    int outerEvaluations = 1000;
    double outerTolerance = 1e-6;      // the quasi-Newton stops when a step changes −2LL by less
    double outerStepTolerance = 1e-5;  // ... or the log parameters by less
    double gradientTolerance = 0.02;   // |∂(−2LL)/∂x| below which the best point is a minimum
    int outerRestarts = 5;             // of the quasi-Newton from the best point while it is not
    double trustRadius = 1.0;          // farthest trial from the best point, in any ln θ
    bool covariance = true;
    double hessianStep = 1e-3;    // of the differences of the gradient, in the log parameters
    double boundaryMargin = 1.0;  // a log variance this close to its lower bound is at the bound
    std::function<void(int evaluation, double minus2ll)> progress;
};

// An estimate with its standard error (NaN when the covariance step gave none).
using population::Estimated;

// How the estimation ended. Converged(status) for the first two; the others end at the best
// point found (every estimate filled in) except NoFiniteObjective, which has none.
enum class FoceiStatus {
    GradientVanished,      // every component of −2LL's gradient at the best point is below
                           // gradientTolerance, those pressing against a bound of the search aside
    NothingToEstimate,     // every parameter is fixed: the estimate is the start
    ObjectiveChangeSmall,  // the last search stopped as −2LL changed by less than outerTolerance,
                           // with the gradient above its tolerance after every restart
    StepSmall,             // ... as the parameters changed by less than outerStepTolerance
    EvaluationLimit,       // outerEvaluations evaluations of −2LL, the gradient above its tolerance
    LineSearchFailed,      // the quasi-Newton's line search found no descent, the gradient above
                           // its tolerance
    Stopped,               // the quasi-Newton stopped for another reason, the gradient above its
                           // tolerance (or its restart from modes found afresh evaluated nothing
                           // finite, and the estimate is the best point before it)
    NoFiniteObjective,     // no parameter values gave a finite −2LL (the predictions could not be
                           // computed anywhere tried): nothing estimated, minus2ll = +∞
};
bool Converged(FoceiStatus status);

struct FoceiResult {
    FoceiStatus status = FoceiStatus::NoFiniteObjective;
    std::string summary;  // why the outer optimisation stopped, in words
    double minus2ll = 0;
    int observations = 0;    // every observation, the censored ones included
    int censored = 0;        // of them, censored (their terms by the M3 method)
    int estimatedCount = 0;  // parameters estimated: θ, ω², σ not fixed
    double aic = 0, bic = 0;
    std::vector<Estimated> theta;            // typical values
    std::vector<Estimated> omega;            // variances, per η
    population::EstimatedOmega omegaMatrix;  // the whole Ω, when it has a block larger than 1×1
    std::vector<Estimated> sigma;            // "additive" (SD) and/or "proportional" (fraction), or "exponential"
                                             // (SD of ln y); "OUTPUT:additive", ... with an error model per output
    std::vector<Estimated> iov;              // π² per parameter with inter-occasion variability
    bool covarianceDone = false;
    std::string covarianceMessage;              // why it failed, or which parameters it held at their bound
    std::vector<std::string> atBound;           // estimated parameters held at their lower bound
    std::vector<std::string> atSearchEdge;      // estimates at another edge of the search: no optimum
    std::vector<std::string> correlationNames;  // the estimated parameters
    Eigen::MatrixXd correlation;
    double conditionNumber = 0;           // largest over smallest eigenvalue of the correlation matrix
    Eigen::VectorXd typicalValues;        // every model parameter at η = 0 (of the first individual)
    std::vector<Eigen::VectorXd> eta;     // [i]
    std::vector<Eigen::VectorXd> values;  // [i]: every model parameter of individual i
    std::vector<Eigen::VectorXd> pred;    // [i]: predictions at the typical values (η = 0)
    std::vector<Eigen::VectorXd> ipred;   // [i]: at the mode
    std::vector<Eigen::VectorXd> iwres;   // (y − IPRED) / √V(IPRED); NaN for a censored value
    std::vector<Eigen::VectorXd> cwres;   // conditional weighted residuals (of the observed values; NaN censored)
    Eigen::VectorXd etaShrinkage;         // per η, %
    double epsilonShrinkage = 0;          // %
    int evaluations = 0;                  // of −2LL in the outer optimisation
    long simulations = 0;                 // simulator calls (each simulates every individual asked)
};

FoceiResult EstimateFocei(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options);

// Pieces, exposed for the tests.
// l_i(η) of the header, from the predictions f at η; +∞ when a variance is not positive.
double IndividualObjective(const Eigen::VectorXd& y, const Eigen::VectorXd& f, const Eigen::VectorXd& eta,
                           const Eigen::MatrixXd& omegaInverse, const ResidualErrors& error,
                           const Censoring& censoring = {});
// ∇l_i and H_i at η from f and G = ∂f/∂η.
void IndividualDerivatives(const Eigen::VectorXd& y, const Eigen::VectorXd& f, const Eigen::MatrixXd& g,
                           const Eigen::VectorXd& eta, const Eigen::MatrixXd& omegaInverse, const ResidualErrors& error,
                           Eigen::VectorXd& gradient, Eigen::MatrixXd& h, const Censoring& censoring = {});
// −2LL at given parameters (modes found from eta, which returns them).
double FoceiObjective(const FoceiProblem& problem, Simulator& simulator, const Eigen::VectorXd& theta,
                      const Eigen::VectorXd& omegaDiagonal, const ResidualErrors& error, const FoceiOptions& options,
                      std::vector<Eigen::VectorXd>& eta);
// −2LL and its gradient in the estimated log parameters x (ln θ, ln ω², ln a, ln b of those
// not fixed, in that order), the modes found from η = 0; +∞ when not finite.
double FoceiGradient(const FoceiProblem& problem, Simulator& simulator, const std::vector<double>& x,
                     const FoceiOptions& options, Eigen::VectorXd& gradient);
// CWRES = L⁻¹ (y − f + G η̂), with L Lᵀ = G Ω Gᵀ + diag V(f) the linearised covariance of y.
Eigen::VectorXd ConditionalWeightedResiduals(const Eigen::VectorXd& y, const Eigen::VectorXd& f,
                                             const Eigen::MatrixXd& g, const Eigen::VectorXd& eta,
                                             const Eigen::MatrixXd& omega, const ResidualError& error);
// The same with the residual variance of each observation.
Eigen::VectorXd ConditionalWeightedResiduals(const Eigen::VectorXd& y, const Eigen::VectorXd& f,
                                             const Eigen::MatrixXd& g, const Eigen::VectorXd& eta,
                                             const Eigen::MatrixXd& omega, const Eigen::VectorXd& variance);
// 100·(1 − SD(η̂_e)/ω_e), SD with n − 1.
double EtaShrinkage(const std::vector<double>& etas, double variance);
// 100·(1 − SD(IWRES)).
double EpsilonShrinkage(const std::vector<double>& iwres);

}  // namespace tessuvan::estimation
