// Simulation with variability on a closed-form simulator: the drawn random effects and
// residuals have the variances of the model, the numbers depend only on the seed, the
// replicate and the individual, and the bins and percentiles follow their stated rules.
#include <array>
#include <cmath>
#include <numeric>

#include <gtest/gtest.h>

#include "simulation/order_statistics.h"
#include "simulation/random_stream.h"
#include "simulation/replicates.h"
#include "simulation/time_bins.h"
#include "simulation/vpc.h"

namespace {

using namespace tessuvan;
using namespace tessuvan::simulation;

// f(t) = (dose/V)·exp(−(CL/V)·t) at times 1..4, parameters (CL, V); `first` offsets nothing
// here: each instance simulates `count` individuals.
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

VariabilityModel Model(double additive, double proportional)
{
    VariabilityModel model;
    model.typical = Eigen::Vector2d(2.0, 20.0);
    model.etas = {{"CL", 0, 0.09}, {"V", 1, 0.25}};
    model.error.additive = additive;
    model.error.proportional = proportional;
    return model;
}

double SampleVariance(const std::vector<double>& x)
{
    const double mean = std::accumulate(x.begin(), x.end(), 0.0) / double(x.size());
    double sum = 0;
    for (double v : x) sum += (v - mean) * (v - mean);
    return sum / double(x.size() - 1);
}

TEST(Variability, DrawnEtasAndResidualsHaveTheModelsVariancesWithin10PercentFor2000Subjects)
{
    for (const auto& [additive, proportional] : {std::pair{0.5, 0.0}, std::pair{0.0, 0.2}}) {
        const VariabilityModel model = Model(additive, proportional);
        Exponential simulator(2000);
        std::vector<std::vector<SimulatedIndividual>> result;
        int failed = 0;
        ASSERT_TRUE(SimulateReplicates(model, simulator, 20261209, 0, {1, 1}, result, failed));
        std::vector<double> etaCl, etaV, residuals;
        for (const SimulatedIndividual& drawn : result[0]) {
            etaCl.push_back(drawn.eta[0]);
            etaV.push_back(drawn.eta[1]);
            for (Eigen::Index o = 0; o < 4; ++o)
                residuals.push_back(additive > 0 ? drawn.dv[o] - drawn.ipred[o]
                                                 : (drawn.dv[o] - drawn.ipred[o]) / drawn.ipred[o]);
        }
        EXPECT_NEAR(SampleVariance(etaCl) / 0.09, 1.0, 0.1);
        EXPECT_NEAR(SampleVariance(etaV) / 0.25, 1.0, 0.1);
        const double sigma = additive > 0 ? additive : proportional;
        EXPECT_NEAR(SampleVariance(residuals) / (sigma * sigma), 1.0, 0.1);
    }
}

// A diagonal Ω draws √ω²·z from each individual's stream in the order of the η; a block of Ω
// draws the covariance it states.
TEST(Variability, EtasAreDrawnThroughEachBlocksFactor)
{
    VariabilityModel model = Model(0.5, 0.0);
    Exponential simulator(2000);
    std::vector<std::vector<SimulatedIndividual>> result;
    int failed = 0;
    ASSERT_TRUE(SimulateReplicates(model, simulator, 11, 5, {3, 3}, result, failed));
    for (std::size_t i = 0; i < 3; ++i) {
        RandomStream stream(11, 3, 5 + i);
        EXPECT_EQ(result[0][i].eta[0], std::sqrt(0.09) * stream.Normal());
        EXPECT_EQ(result[0][i].eta[1], std::sqrt(0.25) * stream.Normal());
    }
    model.blocks = {{{"CL", "V"}, Eigen::Matrix2d{{0.09, 0.09}, {0.09, 0.25}}}};  // correlation 0.6
    ASSERT_TRUE(SimulateReplicates(model, simulator, 11, 5, {3, 3}, result, failed));
    Eigen::Matrix2d sum = Eigen::Matrix2d::Zero();
    for (const SimulatedIndividual& drawn : result[0]) sum += drawn.eta * drawn.eta.transpose();
    const Eigen::Matrix2d covariance = sum / 2000.0;
    EXPECT_NEAR(covariance(0, 1) / std::sqrt(covariance(0, 0) * covariance(1, 1)), 0.6, 0.05);
    EXPECT_NEAR(covariance(1, 1) / 0.25, 1.0, 0.1);
}

TEST(Variability, NumbersDependOnlyOnSeedReplicateAndIndividual)
{
    const VariabilityModel model = Model(0.5, 0.1);
    int failed = 0;
    // One run of replicates 1..4 for 6 individuals ...
    Exponential all(6);
    std::vector<std::vector<SimulatedIndividual>> whole;
    ASSERT_TRUE(SimulateReplicates(model, all, 7, 0, {1, 4}, whole, failed));
    // ... equals shards of replicates (1..1, 2..4) on blocks of individuals (0..1, 2..5).
    Exponential front(2), back(4);
    for (const ReplicateRange range : {ReplicateRange{1, 1}, ReplicateRange{2, 4}}) {
        std::vector<std::vector<SimulatedIndividual>> a, b;
        ASSERT_TRUE(SimulateReplicates(model, front, 7, 0, range, a, failed));
        ASSERT_TRUE(SimulateReplicates(model, back, 7, 2, range, b, failed));
        for (int r = range.first; r <= range.last; ++r)
            for (std::size_t i = 0; i < 6; ++i) {
                const SimulatedIndividual& part =
                    i < 2 ? a[std::size_t(r - range.first)][i] : b[std::size_t(r - range.first)][i - 2];
                EXPECT_EQ(part.eta, whole[std::size_t(r - 1)][i].eta);
                EXPECT_EQ(part.dv, whole[std::size_t(r - 1)][i].dv);
            }
    }
    EXPECT_NE(whole[0][0].eta, whole[1][0].eta);
    EXPECT_NE(whole[0][0].eta, whole[0][1].eta);
}

TEST(Variability, TheStreamsAreFixedBitForBit)
{
    // The generator and the transform are written out, so these are the numbers on every
    // machine; a change of either changes every simulation ever written.
    EXPECT_EQ(SplitMix(0), 0xe220a8397b1dcdafULL);  // SplitMix64's first output from state 0
    EXPECT_EQ(StreamSeed(1, 1, 0), 6301985355436268297ULL);
    RandomStream stream(1, 1, 0);
    EXPECT_EQ(stream.Uniform(), 0.22954405897437996);
    EXPECT_EQ(stream.Normal(), -1.0999629474079384);
}

TEST(Variability, ShardsAreDisjointSlicesCoveringEveryReplicate)
{
    int next = 1;
    for (int k = 1; k <= 3; ++k) {
        const ReplicateRange range = ShardReplicates(10, {k, 3});
        EXPECT_EQ(range.first, next);
        next = range.last + 1;
    }
    EXPECT_EQ(next, 11);
}

TEST(TimeBins, PercentilesInterpolateAndBinsKeepTiesTogether)
{
    EXPECT_DOUBLE_EQ(Percentile({4, 1, 3, 2}, 0.5), 2.5);
    EXPECT_DOUBLE_EQ(Percentile({1, 2, 3, 4, 5}, 0.05), 1.2);
    EXPECT_TRUE(std::isnan(Percentile({}, 0.5)));
    // 8 rows in 4 bins: the three rows at 2 stay in one bin.
    const std::vector<double> edges = EqualCountEdges({0, 1, 2, 2, 2, 4, 8, 12}, 4);
    EXPECT_EQ(edges, (std::vector<double>{0, 2, 4, 8, 12}));
    EXPECT_EQ(BinOf(edges, 2), 1);
    EXPECT_EQ(BinOf(edges, 12), 3);
    EXPECT_EQ(BinOf(edges, 13), -1);
    EXPECT_EQ(EqualCountEdges({0, 1, 2, 3}).size(), 5u);  // distinct times up to 10: 4 bins
    // A last nominal time holding a group's rows is a bin of its own; one left a single row by
    // the ties before it joins them.
    const std::vector<double> last = EqualCountEdges({1, 1, 2, 2, 24, 24, 24, 24}, 2);
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(BinOf(last, 2), 0);
    EXPECT_EQ(BinOf(last, 24), 1);
    EXPECT_EQ(EqualCountEdges({1, 1, 1, 1, 1, 1, 1, 24}, 2), (std::vector<double>{1, 24}));
}

// The summaries' percentiles from order statistics over replays are the very doubles Percentile
// gives of all the values in memory: values of both signs, many ties (zeros, a constant group)
// and so few values collected at once that every rank is found digit by digit.
TEST(OrderStatistics, PercentilesFromReplaysAreThoseOfAllValuesInMemory)
{
    RandomStream stream(5, 1, 2);
    std::vector<std::array<double, 2>> values[3];  // [group][k]: two columns
    for (int k = 0; k < 20000; ++k) {
        const double z = stream.Normal();
        values[0].push_back({std::exp(z), k % 3 == 0 ? 0.0 : z * 1e-3});
        values[1].push_back({std::floor(4 * z), -z});
        values[2].push_back({7.25, 7.25});
    }
    const ValuePass pass = [&](const auto& take) {
        for (int g = 0; g < 3; ++g)
            for (const auto& row : values[g]) take(g, row.data());
        take(-1, values[0][0].data());  // outside every group
    };
    std::vector<RankQuery> queries;
    const double levels[] = {0, 0.05, 0.5, 0.95, 1};
    for (int g = 0; g < 3; ++g)
        for (int c = 0; c < 2; ++c)
            for (const double level : levels) {
                const auto [low, high] = PercentileRanks(values[g].size(), level);
                queries.push_back({g, c, low});
                queries.push_back({g, c, high});
            }
    for (const std::size_t collectLimit : {kCollectLimit, std::size_t(1)}) {
        const std::vector<double> selected = SelectRanks(3, 2, pass, queries, collectLimit);
        std::size_t at = 0;
        for (int g = 0; g < 3; ++g)
            for (int c = 0; c < 2; ++c) {
                std::vector<double> column;
                for (const auto& row : values[g]) column.push_back(row[std::size_t(c)]);
                for (const double level : levels) {
                    EXPECT_EQ(PercentileOfRanks(column.size(), level, selected[at], selected[at + 1]),
                              Percentile(column, level))
                        << "group " << g << " column " << c << " level " << level << " limit " << collectLimit;
                    at += 2;
                }
            }
    }
}

TEST(Vpc, PredictionCorrectionScalesEachRowToItsBinsTypicalPrediction)
{
    // Two rows in one bin with PRED 1 and 4 (median 2.5): observations 2 and 8 both become 5.
    const std::vector<VpcRow> rows{{1, 2, 1}, {2, 8, 4}};
    const Vpc vpc = ComputeVpc(rows, {{2, 8}, {1, 4}}, {0, 3});
    ASSERT_EQ(vpc.corrected.size(), 1u);
    EXPECT_DOUBLE_EQ(vpc.corrected[0].observed[0], 5);
    EXPECT_DOUBLE_EQ(vpc.corrected[0].observed[2], 5);
    EXPECT_DOUBLE_EQ(vpc.plain[0].observed[1], 5);
    // Replicates' medians 5 and 2.5: their 50th percentile 3.75.
    EXPECT_DOUBLE_EQ(vpc.plain[0].simulated[1][1], 3.75);
}

}  // namespace
