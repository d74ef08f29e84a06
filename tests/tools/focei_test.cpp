// The pieces of the population estimation against what they must equal: the individual
// objective's gradient against differences of the objective, the FOCE −2LL of a model linear in
// η against its exact marginal likelihood, the gradient of −2LL against its differences, a fit
// of simulated individuals, and CWRES and shrinkage on a case worked by hand; each with censored
// observations (the M3 method) too.
#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "estimation/focei.h"

namespace {

using namespace tessuvan::estimation;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// f_j = x_j · ln φ: linear in η = ln φ − ln θ, so the Laplace approximation is exact.
class LinearSimulator final : public Simulator {
public:
    explicit LinearSimulator(std::vector<VectorXd> x) : x_(std::move(x)) {}
    std::size_t Individuals() const override { return x_.size(); }
    std::size_t Parameters() const override { return 1; }
    std::size_t Observations(std::size_t i) const override { return std::size_t(x_[i].size()); }
    bool Predict(const std::vector<VectorXd>& values, const std::vector<char>& which,
                 std::vector<VectorXd>& predictions) override
    {
        for (std::size_t i = 0; i < x_.size(); ++i)
            if (which[i]) predictions[i] = x_[i] * std::log(values[i][0]);
        return true;
    }

private:
    std::vector<VectorXd> x_;
};

TEST(Focei, CensoredTermIsTheProbabilityBeyondTheLimitWithItsDerivatives)
{
    const double inf = std::numeric_limits<double>::infinity();
    // Below 1 with f 1.5, SD 0.5: P = Φ(−1); above 1 with f 0.4: P = 1 − Φ(1.2) = Φ(−1.2);
    // between 0.2 and 1 with f 0.4: Φ(1.2) − Φ(−0.4) (tables: 0.158655254, 0.115069670, 0.539838565).
    EXPECT_NEAR(CensoredTermOf(-inf, 1.0, 1.5, 0.25).l, -2 * std::log(0.158655254), 1e-7);
    EXPECT_NEAR(CensoredTermOf(1.0, inf, 0.4, 0.25).l, -2 * std::log(0.115069670), 1e-7);
    EXPECT_NEAR(CensoredTermOf(0.2, 1.0, 0.4, 0.25).l, -2 * std::log(0.884930330 - 0.344578258), 1e-7);
    // Far in the tail (z = −30) the probability keeps its digits: ℓ ≈ z² + ln(2π) + 2 ln|z|.
    EXPECT_NEAR(CensoredTermOf(-inf, 1.0, 16.0, 0.25).l, 900 + std::log(2 * M_PI) + 2 * std::log(30.0), 0.01);
    for (const auto& [lo, hi] : {std::pair{-inf, 1.0}, {1.0, inf}, {0.2, 1.0}})
        for (double f : {0.4, 1.5}) {
            const CensoredTerm t = CensoredTermOf(lo, hi, f, 0.25);
            const double d = 1e-5;
            auto at = [&](double df, double dv) { return CensoredTermOf(lo, hi, f + df, 0.25 + dv); };
            EXPECT_NEAR(t.lf, (at(d, 0).l - at(-d, 0).l) / (2 * d), 1e-6) << lo << " " << f;
            EXPECT_NEAR(t.lv, (at(0, d).l - at(0, -d).l) / (2 * d), 1e-6) << lo << " " << f;
            EXPECT_NEAR(t.lff, (at(d, 0).lf - at(-d, 0).lf) / (2 * d), 1e-5) << lo << " " << f;
            EXPECT_GE(t.lff, 0);  // log-concave in f: the weight in H stays positive
        }
}

// Observation 0 below its value (LLOQ), 2 above it, the others observed.
Censoring SomeCensored(Eigen::Index n)
{
    Censoring c;
    c.kind = Eigen::VectorXi::Zero(n);
    c.limit = VectorXd::Constant(n, std::nan(""));
    c.kind[0] = 1;
    c.kind[2] = -1;
    return c;
}

TEST(Focei, IndividualGradientFollowsDifferencesOfTheObjective)
{
    // f(η) = exp(A η) elementwise, with a combined error so that V depends on η.
    MatrixXd a(3, 2);
    a << 1.0, 0.3, -0.5, 0.8, 0.2, -1.1;
    const VectorXd y(Eigen::Vector3d(1.4, 0.7, 2.1)), eta(Eigen::Vector2d(0.3, -0.2));
    const MatrixXd omegaInverse = Eigen::Vector2d(1 / 0.4, 1 / 0.1).asDiagonal();
    const ResidualError error{0.2, 0.15};
    auto f = [&](const VectorXd& e) { return VectorXd((a * e).array().exp()); };
    const MatrixXd g = f(eta).asDiagonal() * a;
    for (const Censoring& censoring : {Censoring{}, SomeCensored(3)}) {
        VectorXd gradient;
        MatrixXd h;
        IndividualDerivatives(y, f(eta), g, eta, omegaInverse, error, gradient, h, censoring);
        for (Eigen::Index k = 0; k < 2; ++k) {
            VectorXd up = eta, down = eta;
            up[k] += 1e-6;
            down[k] -= 1e-6;
            const double difference = (IndividualObjective(y, f(up), up, omegaInverse, error, censoring) -
                                       IndividualObjective(y, f(down), down, omegaInverse, error, censoring)) /
                                      2e-6;
            EXPECT_NEAR(gradient[k], difference, 1e-6 * std::max(1.0, std::fabs(difference))) << censoring.Any();
        }
        EXPECT_GT(h.ldlt().vectorD().minCoeff(), 0);
    }
}

TEST(Focei, ObjectiveOfALinearModelIsItsExactMarginalLikelihood)
{
    const std::vector<VectorXd> x = {Eigen::Vector3d(1.0, 2.0, 3.0), Eigen::Vector2d(0.5, 4.0)};
    FoceiProblem problem;
    problem.values = {1.0};
    problem.thetas = {{"p", 0, 2.0, false, 0}};
    problem.etas = {{0, 0.3, false}};
    problem.errors = {{"", {}, true}};
    problem.observed = {Eigen::Vector3d(0.9, 1.1, 2.6), Eigen::Vector2d(0.2, 3.5)};
    const double theta = 2.0, omega = 0.3, sigma = 0.4;
    LinearSimulator simulator(x);
    std::vector<VectorXd> eta;
    const double value = FoceiObjective(problem, simulator, VectorXd::Constant(1, theta), VectorXd::Constant(1, omega),
                                        ResidualError{sigma, 0}, FoceiOptions{}, eta);
    double exact = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const MatrixXd c =
            omega * x[i] * x[i].transpose() + sigma * sigma * MatrixXd::Identity(x[i].size(), x[i].size());
        const VectorXd r = problem.observed[i] - x[i] * std::log(theta);
        exact += double(x[i].size()) * std::log(2 * M_PI) + std::log(c.determinant()) + r.dot(c.ldlt().solve(r));
    }
    EXPECT_NEAR(value, exact, 1e-6);
}

// f_j = A·exp(−k·t_j) + c: A and k vary between individuals, c does not.
class ExponentialSimulator final : public Simulator {
public:
    explicit ExponentialSimulator(std::size_t individuals = 3) : individuals_(individuals) {}
    std::size_t Individuals() const override { return individuals_; }
    std::size_t Parameters() const override { return 3; }
    std::size_t Observations(std::size_t) const override { return 4; }
    bool Predict(const std::vector<VectorXd>& values, const std::vector<char>& which,
                 std::vector<VectorXd>& predictions) override
    {
        for (std::size_t i = 0; i < individuals_; ++i)
            if (which[i]) predictions[i] = At(values[i]);
        return true;
    }
    static VectorXd At(const VectorXd& v)
    {
        const Eigen::Vector4d t(0.5, 1.0, 2.0, 4.0);
        return v[0] * (-v[1] * t.array()).exp() + v[2];
    }

private:
    std::size_t individuals_;
};

TEST(Focei, GradientOfMinus2LLFollowsItsDifferences)
{
    FoceiProblem problem;
    problem.values = {1.0, 1.0, 1.0};
    problem.thetas = {{"A", 0, 10.0, false, 0}, {"k", 1, 0.5, false, 1}, {"c", 2, 1.0, false, -1}};
    problem.etas = {{0, 0.2, false}, {1, 0.1, false}};
    problem.errors = {{"", {}, true, false, true}};
    problem.errors[0].value = {0.3, 0.1};
    problem.observed = {Eigen::Vector4d(9.1, 7.0, 4.9, 2.6), Eigen::Vector4d(12.5, 8.1, 4.0, 1.9),
                        Eigen::Vector4d(6.9, 5.8, 4.2, 2.8)};
    FoceiOptions options;
    options.innerTolerance = 1e-10;
    options.secondDifferenceStep = 1e-5;  // exact predictions: no noise to keep the step above
    ExponentialSimulator simulator;
    // x: ln A, ln k, ln c, ln ω²(A), ln ω²(k), ln a, ln b, away from the optimum.
    const std::vector<double> x = {std::log(9.0),  std::log(0.45), std::log(1.2), std::log(0.15),
                                   std::log(0.08), std::log(0.25), std::log(0.12)};
    for (bool censored : {false, true}) {
        // Censored: the first value of each individual below 9, the third above 4 (and, for
        // the last, between 4 and 4.5), terms whose weight in H is the approximate one.
        problem.censoring.clear();
        if (censored)
            for (std::size_t i = 0; i < 3; ++i) {
                problem.censoring.push_back(SomeCensored(4));
                problem.observed[i][0] = 9.0;
                problem.observed[i][2] = 4.0;
            }
        if (censored) problem.censoring[2].limit[2] = 4.5;
        VectorXd gradient, unused;
        ASSERT_TRUE(std::isfinite(FoceiGradient(problem, simulator, x, options, gradient)));
        for (std::size_t k = 0; k < x.size(); ++k) {
            std::vector<double> up = x, down = x;
            up[k] += 1e-3;
            down[k] -= 1e-3;
            const double difference = (FoceiGradient(problem, simulator, up, options, unused) -
                                       FoceiGradient(problem, simulator, down, options, unused)) /
                                      2e-3;
            EXPECT_NEAR(gradient[Eigen::Index(k)], difference, 2e-4 * std::max(1.0, std::fabs(difference)))
                << "x" << k << (censored ? " censored" : "");
        }
    }
}

// The exponential model whose first individual cannot be simulated beyond k = 0.8 (a stiff
// corner, say): its predictions there are NaN, as the engine adapter gives them.
class WalledSimulator final : public Simulator {
public:
    std::size_t Individuals() const override { return 3; }
    std::size_t Parameters() const override { return 3; }
    std::size_t Observations(std::size_t) const override { return 4; }
    bool Predict(const std::vector<VectorXd>& values, const std::vector<char>& which,
                 std::vector<VectorXd>& predictions) override
    {
        bool ok = true;
        for (std::size_t i = 0; i < 3; ++i)
            if (which[i]) {
                predictions[i] = ExponentialSimulator::At(values[i]);
                if (i == 0 && values[i][1] > 0.8) {
                    predictions[i].setConstant(std::nan(""));
                    ok = false;
                }
            }
        return ok;
    }
};

TEST(Focei, AnIndividualThatCannotBeSimulatedLeavesTheOthersModesAlone)
{
    FoceiProblem problem;
    problem.values = {1.0, 1.0, 1.0};
    problem.thetas = {{"A", 0, 10.0, false, 0}, {"k", 1, 0.5, false, 1}, {"c", 2, 1.0, false, -1}};
    problem.etas = {{0, 0.2, false}, {1, 0.5, false}};
    problem.errors = {{"", {}, true}};
    problem.errors[0].value = {0.3, 0};
    // The first individual decays fast (its mode of k lies beyond the wall), the others not.
    problem.observed = {Eigen::Vector4d(6.0, 3.5, 1.6, 1.0), Eigen::Vector4d(12.5, 8.1, 4.0, 1.9),
                        Eigen::Vector4d(6.9, 5.8, 4.2, 2.8)};
    ExponentialSimulator free;
    WalledSimulator walled;
    std::vector<VectorXd> etaFree, etaWalled;
    const VectorXd theta = Eigen::Vector3d(10.0, 0.5, 1.0), omega = Eigen::Vector2d(0.2, 0.5);
    FoceiObjective(problem, free, theta, omega, problem.errors[0].value, FoceiOptions{}, etaFree);
    ASSERT_TRUE(std::isfinite(
        FoceiObjective(problem, walled, theta, omega, problem.errors[0].value, FoceiOptions{}, etaWalled)));
    ASSERT_GT(0.5 * std::exp(etaFree[0][1]), 0.8);  // the wall stands between its start and its mode
    EXPECT_LE(0.5 * std::exp(etaWalled[0][1]), 0.8);
    for (std::size_t i = 1; i < 3; ++i) EXPECT_LT((etaWalled[i] - etaFree[i]).lpNorm<Eigen::Infinity>(), 1e-6) << i;
}

TEST(Focei, FitOfSimulatedIndividualsConvergesNearTheTruthWithStandardErrors)
{
    // 60 individuals from A 10, k 0.5 (ω² 0.1 each), c 1, proportional error 0.05.
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    FoceiProblem problem;
    problem.values = {1.0, 1.0, 1.0};
    problem.thetas = {{"A", 0, 7.0, false, 0}, {"k", 1, 0.8, false, 1}, {"c", 2, 0.5, false, -1}};
    problem.etas = {{0, 0.3, false}, {1, 0.3, false}};
    problem.errors = {{"", {}, false, false, true}};
    problem.errors[0].value = {0, 0.2};
    const std::size_t n = 60;
    for (std::size_t i = 0; i < n; ++i) {
        const VectorXd v = Eigen::Vector3d(10.0 * std::exp(std::sqrt(0.1) * normal(random)),
                                           0.5 * std::exp(std::sqrt(0.1) * normal(random)), 1.0);
        VectorXd y = ExponentialSimulator::At(v);
        for (Eigen::Index j = 0; j < y.size(); ++j) y[j] *= 1 + 0.05 * normal(random);
        problem.observed.push_back(y);
    }
    ExponentialSimulator simulator(n);
    const FoceiResult fit = EstimateFocei(problem, simulator, FoceiOptions{});
    ASSERT_TRUE(Converged(fit.status)) << fit.summary;
    ASSERT_TRUE(fit.covarianceDone) << fit.covarianceMessage;
    const double truth[] = {10.0, 0.5, 1.0};
    for (std::size_t t = 0; t < 3; ++t) {
        EXPECT_NEAR(fit.theta[t].value, truth[t], 0.1 * truth[t]) << fit.theta[t].name;
        EXPECT_GT(fit.theta[t].se, 0) << fit.theta[t].name;
    }
    for (const Estimated& omega : fit.omega) EXPECT_NEAR(omega.value, 0.1, 0.05) << omega.name;
    EXPECT_NEAR(fit.sigma[0].value, 0.05, 0.01);
    EXPECT_TRUE(fit.atSearchEdge.empty());

    // Started a factor 100 below the truth, A cannot leave its search (a factor e³ around the
    // start): the estimate says so instead of passing for an optimum.
    problem.thetas[0].value = 0.1;
    ExponentialSimulator again(n);
    EXPECT_EQ(EstimateFocei(problem, again, FoceiOptions{}).atSearchEdge, std::vector<std::string>{"A"});
}

// A model no trial can simulate (the engine at a ceiling of steps everywhere, say): the fit ends
// with a status of its own and no estimates, rather than reading modes it never found.
TEST(Focei, AFitWhoseObjectiveIsNowhereFiniteEndsWithItsStatus)
{
    class NowhereSimulator final : public Simulator {
    public:
        std::size_t Individuals() const override { return 2; }
        std::size_t Parameters() const override { return 3; }
        std::size_t Observations(std::size_t) const override { return 4; }
        bool Predict(const std::vector<VectorXd>&, const std::vector<char>& which,
                     std::vector<VectorXd>& predictions) override
        {
            for (std::size_t i = 0; i < 2; ++i)
                if (which[i]) predictions[i] = VectorXd::Constant(4, std::nan(""));
            return false;
        }
    };
    FoceiProblem problem;
    problem.values = {1.0, 1.0, 1.0};
    problem.thetas = {{"A", 0, 10.0, false, 0}, {"k", 1, 0.5, false, 1}, {"c", 2, 1.0, false, -1}};
    problem.etas = {{0, 0.2, false}, {1, 0.5, false}};
    problem.errors = {{"", {}, false, false, true}};
    problem.errors[0].value = {0, 0.1};
    problem.observed.assign(2, Eigen::Vector4d(6.0, 3.5, 1.6, 1.0));
    for (const bool estimated : {true, false}) {
        if (!estimated) {  // nothing to estimate, and the start cannot be evaluated either
            for (auto& theta : problem.thetas) theta.fixed = true;
            for (auto& eta : problem.etas) eta.fixed = true;
            problem.errors[0].proportionalFixed = true;
        }
        NowhereSimulator simulator;
        FoceiOptions options;
        options.outerEvaluations = 20;
        const FoceiResult fit = EstimateFocei(problem, simulator, options);
        EXPECT_EQ(fit.status, FoceiStatus::NoFiniteObjective) << fit.summary;
        EXPECT_FALSE(Converged(fit.status));
        EXPECT_FALSE(std::isfinite(fit.minus2ll));
        EXPECT_TRUE(fit.ipred.empty() && fit.theta.empty());
        if (estimated) {
            EXPECT_EQ(fit.summary, "no parameter values gave a finite -2LL");
        }
    }
}

TEST(Focei, ResidualsAndShrinkageWorkedByHand)
{
    // One observation, G = 1, Ω = 1, σ = 1: Cov(y) = 2, so CWRES = (y − f + η̂)/√2.
    const VectorXd cwres = ConditionalWeightedResiduals(VectorXd::Constant(1, 3.0), VectorXd::Constant(1, 2.0),
                                                        MatrixXd::Constant(1, 1, 1.0), VectorXd::Constant(1, 0.5),
                                                        MatrixXd::Constant(1, 1, 1.0), ResidualError{1.0, 0});
    EXPECT_NEAR(cwres[0], 1.5 / std::sqrt(2.0), 1e-12);
    // η̂ = ±0.5 around 0: SD (n − 1) = 0.5·√(4/3); ω² = 1.
    EXPECT_NEAR(EtaShrinkage({0.5, -0.5, 0.5, -0.5}, 1.0), 100 * (1 - 0.5 * std::sqrt(4.0 / 3.0)), 1e-9);
    EXPECT_NEAR(EpsilonShrinkage({1.0, -1.0}), 100 * (1 - std::sqrt(2.0)), 1e-9);
}

}  // namespace
