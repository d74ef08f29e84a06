// Standard errors handed back when the population fit converges.
#include <cmath>

#include <gtest/gtest.h>

#include "fit_bench.h"

namespace tessuvan::testing {
namespace {

class ConvergedPopulation : public ::testing::Test {
protected:
    // Prediction A1·T at T = 1 and 2 with observations 1 and 4 for every individual: linear in
    // A1, so undamped steps reach the least-squares value at once. Parameter 2 stays fixed.
    void Build(int individuals)
    {
        bench.BuildDirectModel("A1*T", individuals, 2, {{1, 1}, {2, 4}});
        bench.model.SetParameter(1, 4, FitCodePopulationOnly, 2);
        bench.model.SetParameter(2, 1, FitCodeFixed);
        bench.model.Fit()->Marquard = 0;
        bench.model.Fit()->Tolerance = 1e-8f;
    }
    void FitUntilDone()
    {
        bench.LoadAndSimulate();
        for (int call = 0; call < 10 && bench.model.Fit()->Done != -1; ++call) {
            bench.FitPopulation();
            ASSERT_EQ(bench.model.Fit()->Erreur, 0);
        }
        ASSERT_EQ(bench.model.Fit()->Done, -1);
    }
    // Σ Weight·S² over every individual and point, from the derivatives the convergence left.
    WorkingFloat Information()
    {
        WorkingFloat m = 0;
        for (int i = 1; i <= bench.model.Init()->NIndividuals; ++i)
            for (int k = 1; k <= 2; ++k) {
                const WorkingFloat s = bench.Store().PopulationSensitivity(i, k, 1, 1);
                m = m + bench.Store().Weight(i, k, 1) * s * s;
            }
        return m;
    }
    FitBench bench;
};

TEST_F(ConvergedPopulation, OneFittedParameterHasTheInverseSquareRootOfItsInformation)
{
    Build(1);
    FitUntilDone();
    const WorkingFloat m = Information();
    ASSERT_GT(m, 0);
    EXPECT_EQ(bench.Parameter(1).PS[0], std::sqrt(1 / m));
    EXPECT_NEAR(static_cast<double>(bench.Parameter(1).PS[0] * std::sqrt(m)), 1, 1e-14);
    EXPECT_EQ(bench.Parameter(2).PS[0], 0);
    EXPECT_EQ(bench.model.Table()->StandardErrors[0], static_cast<float>(bench.Parameter(1).PS[0]));
    EXPECT_EQ(bench.model.Table()->StandardErrors[1], 0);
    EXPECT_NEAR(static_cast<double>(bench.Parameter(1).PV[0]), 1.8, 1e-9);
}

TEST_F(ConvergedPopulation, IsPooledWithTheAPrioriDeviation)
{
    Build(10);
    bench.model.Init()->NPopAPriori = 10;
    FitUntilDone();
    const WorkingFloat variance = 1 / Information();
    const double expected = std::sqrt((10 * 2.0 * 2.0 + 10 * static_cast<double>(variance)) / 20);
    EXPECT_NEAR(static_cast<double>(bench.Parameter(1).PS[0]), expected, 1e-12);
    EXPECT_NEAR(static_cast<double>(bench.Parameter(1).PS[0]), std::sqrt(2.0), 0.1);
    EXPECT_EQ(bench.model.Table()->StandardErrors[0], static_cast<float>(bench.Parameter(1).PS[0]));
}

TEST_F(ConvergedPopulation, StandardErrorsOfEarlierCallsAreRepeatedUntilTheNext)
{
    Build(1);
    FitUntilDone();
    const float handedBack = bench.model.Table()->StandardErrors[0];
    bench.model.Table()->StandardErrors[0] = -1;
    bench.model.Fit()->Tolerance = 0;  // never converged again
    bench.FitPopulation();
    EXPECT_EQ(bench.model.Fit()->Done, 0);
    EXPECT_EQ(bench.model.Table()->StandardErrors[0], handedBack);
}

}  // namespace
}  // namespace tessuvan::testing
