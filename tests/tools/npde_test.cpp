// NPDE: the inverse normal is exact to a few bits, and the errors of data simulated from the
// model itself are independent standard normals once each individual is decorrelated, where
// those of data from another model are not.
#include <cmath>
#include <numeric>

#include <gtest/gtest.h>

#include "simulation/npde.h"
#include "simulation/replicates.h"

namespace {

using namespace tessuvan;
using namespace tessuvan::simulation;

// f(t) = (100/V)·exp(−(CL/V)·t) at times 1..4, parameters (CL, V).
class Exponential final : public estimation::Simulator {
public:
    explicit Exponential(std::size_t count) : count_(count) {}
    std::size_t Individuals() const override { return count_; }
    std::size_t Parameters() const override { return 2; }
    std::size_t Observations(std::size_t) const override { return 4; }
    bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                 std::vector<Eigen::VectorXd>& predictions) override
    {
        for (std::size_t i = 0; i < count_; ++i) {
            if (!which[i]) continue;
            predictions[i].resize(4);
            for (int t = 1; t <= 4; ++t)
                predictions[i][t - 1] = 100 / values[i][1] * std::exp(-values[i][0] / values[i][1] * t);
        }
        return true;
    }

private:
    std::size_t count_;
};

VariabilityModel Model(double cl)
{
    VariabilityModel model;
    model.typical = Eigen::Vector2d(cl, 20.0);
    model.etas = {{"CL", 0, 0.09}, {"V", 1, 0.04}};
    model.error.additive = 0.1;
    model.error.proportional = 0.1;
    return model;
}

struct Summary {
    double mean = 0, sd = 0;
    double lagCorrelation = 0;  // between an individual's first and second NPDE
};

// 500 individuals × 4 observations drawn from `truth`, their NPDE from 400 simulations of `fitted`.
Summary NpdeOf(const VariabilityModel& truth, const VariabilityModel& fitted)
{
    const std::size_t n = 500;
    const int k = 400;
    Exponential simulator(n);
    std::vector<std::vector<SimulatedIndividual>> observed, simulated;
    int failed = 0;
    EXPECT_TRUE(SimulateReplicates(truth, simulator, 7, 0, {1, 1}, observed, failed));
    EXPECT_TRUE(SimulateReplicates(fitted, simulator, 8, 0, {1, k}, simulated, failed));
    std::vector<double> all, first, second;
    for (std::size_t i = 0; i < n; ++i) {
        Eigen::MatrixXd draws(k, 4);
        for (int r = 0; r < k; ++r) draws.row(r) = simulated[std::size_t(r)][i].dv.transpose();
        const Eigen::VectorXd npde = IndividualNpde(observed[0][i].dv, draws);
        for (Eigen::Index j = 0; j < 4; ++j) all.push_back(npde[j]);
        first.push_back(npde[0]);
        second.push_back(npde[1]);
    }
    Summary summary;
    const auto mean = [](const std::vector<double>& x) {
        return std::accumulate(x.begin(), x.end(), 0.0) / double(x.size());
    };
    summary.mean = mean(all);
    double sum = 0;
    for (double v : all) sum += (v - summary.mean) * (v - summary.mean);
    summary.sd = std::sqrt(sum / double(all.size() - 1));
    const double m1 = mean(first), m2 = mean(second);
    double c12 = 0, c11 = 0, c22 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        c12 += (first[i] - m1) * (second[i] - m2);
        c11 += (first[i] - m1) * (first[i] - m1);
        c22 += (second[i] - m2) * (second[i] - m2);
    }
    summary.lagCorrelation = c12 / std::sqrt(c11 * c22);
    return summary;
}

TEST(Npde, TheInverseNormalMatchesKnownQuantilesToTwelveDigits)
{
    EXPECT_NEAR(NormalQuantile(0.975), 1.959963984540054, 1e-12);
    EXPECT_NEAR(NormalQuantile(0.5), 0.0, 1e-15);
    EXPECT_NEAR(NormalQuantile(0.01), -2.326347874040841, 1e-12);
    EXPECT_NEAR(NormalQuantile(1e-10), -6.361340902404056, 1e-10);
    EXPECT_NEAR(NormalQuantile(1 - 1e-6), 4.753424308822899, 1e-9);
    EXPECT_TRUE(std::isnan(NormalQuantile(0)));
    EXPECT_TRUE(std::isnan(NormalQuantile(1)));
}

TEST(Npde, DataSimulatedFromTheModelGiveIndependentStandardNormalsOver2000Observations)
{
    const Summary summary = NpdeOf(Model(2.0), Model(2.0));
    EXPECT_NEAR(summary.mean, 0.0, 0.1);
    EXPECT_NEAR(summary.sd, 1.0, 0.1);
    // An individual's η is shared by its observations: without the decorrelation their errors
    // would correlate (about 0.6 here).
    EXPECT_LT(std::fabs(summary.lagCorrelation), 0.12);
}

TEST(Npde, DataFromAModelWithAnotherClearanceAreFarFromStandardNormal)
{
    const Summary summary = NpdeOf(Model(3.0), Model(2.0));  // the data eliminate faster than the fit
    EXPECT_GT(std::fabs(summary.mean), 0.3);
}

TEST(Npde, AnIndividualWhoseSimulationsDoNotVaryHasNone)
{
    const Eigen::MatrixXd same = Eigen::MatrixXd::Ones(10, 2);
    EXPECT_TRUE(IndividualNpde(Eigen::Vector2d(1, 2), same).array().isNaN().all());
    EXPECT_TRUE(IndividualNpde(Eigen::Vector2d(1, 2), Eigen::MatrixXd::Ones(1, 2)).array().isNaN().all());
}

}  // namespace
