// Repeated fit calls recover the values that generated noise-free data of the one-compartment
// oral model. The amounts are propagated by the model's exact solution, so what is measured is
// the fit alone, not an integration method.
#include <cmath>

#include <gtest/gtest.h>

#include "fit_bench.h"

namespace tessuvan::testing {
namespace {

// dF1/dt = −ka·F1, dF2/dt = ka·F1 − ke·F2 solved exactly over [t0, t1], with ka = A1 and
// ke = A2 read from the formula variables the drivers installed.
void ExactOralIntegrator(const RightHandSide& rhs, int, WorkingFloat t0, WorkingFloat t1, WorkingFloat,
                         AmountVector yin, AmountVector& yout, int16_t& err)
{
    err = 0;
    if (t0 >= t1) {
        err = TessuvanIntegrationInterval;
        return;
    }
    const WorkingFloat ka = rhs.variables.AdjustableValues[1];
    const WorkingFloat ke = rhs.variables.AdjustableValues[2];
    const WorkingFloat h = t1 - t0;
    const WorkingFloat absorbed = std::exp(-ka * h);
    const WorkingFloat eliminated = std::exp(-ke * h);
    yout = yin;
    yout[1] = yin[1] * absorbed;
    yout[2] = yin[2] * eliminated + yin[1] * ka / (ka - ke) * (eliminated - absorbed);
}

struct TrueValues {
    double ka, ke, V;
};

class OralConvergence : public ::testing::Test {
protected:
    void LoadWithExactSolution()
    {
        bench.model.Fit()->Tolerance = 1e-13f;
        bench.model.Fit()->Precision = 1e-6f;
        bench.Load();
        ASSERT_EQ(bench.model.Fit()->Erreur, 0);
        bench.state->CurrentIntegrator = &ExactOralIntegrator;
        bench.Simulate();
        ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    }
    void ExpectValues(int row, const TrueValues& expected)
    {
        const double values[3] = {expected.ka, expected.ke, expected.V};
        for (int p = 1; p <= 3; ++p) {
            const double fitted = static_cast<double>(bench.Parameter(p).PV[row]);
            EXPECT_LT(std::fabs(fitted / values[p - 1] - 1), 1e-4) << "row " << row << " parameter " << p;
            EXPECT_FLOAT_EQ(bench.model.Table()->Values[row][p - 1], static_cast<float>(fitted));
        }
    }
    FitBench bench;
};

TEST_F(OralConvergence, RepeatedPopulationFitsRecoverTheCommonValuesAndSetDone)
{
    tessuvan_host::OralModel oral;
    oral.individuals = 10;
    tessuvan_host::BuildOralModel(bench.model, oral);
    bench.model.Value(0, 1) = 1.6f;  // start 20 to 35 % away from the truth
    bench.model.Value(0, 2) = 0.11f;
    bench.model.Value(0, 3) = 38;
    LoadWithExactSolution();

    int calls = 0;
    for (; calls < 60 && bench.model.Fit()->Done != -1; ++calls) {
        bench.FitPopulation();
        ASSERT_EQ(bench.model.Fit()->Erreur, 0) << "call " << calls;
    }
    EXPECT_EQ(bench.model.Fit()->Done, -1);
    ExpectValues(0, {oral.ka, oral.ke, oral.V});
    for (int p = 1; p <= 3; ++p) {
        EXPECT_GT(bench.model.Table()->StandardErrors[p - 1], 0) << p;
        EXPECT_LT(bench.model.Table()->StandardErrors[p - 1], 1e-3 * bench.model.Table()->Values[0][p - 1]) << p;
    }
}

TEST_F(OralConvergence, RepeatedIndividualFitsRecoverEachIndividualsValues)
{
    tessuvan_host::OralModel oral;
    oral.individuals = 10;
    tessuvan_host::BuildOralModel(bench.model, oral);
    TrueValues truth[11];
    bench.model.data.clear();
    for (int i = 1; i <= 10; ++i) {
        const double shift = i - 5.5;
        truth[i] = {oral.ka * (1 + 0.04 * shift), oral.ke * (1 - 0.03 * shift), oral.V * (1 + 0.05 * shift)};
        tessuvan_host::OralModel own = oral;
        own.ka = truth[i].ka;
        own.ke = truth[i].ke;
        own.V = truth[i].V;
        for (double t : oral.times)
            bench.model.AddPoint(i, t < oral.secondDoseTime ? 1 : 2, static_cast<float>(t),
                                 {static_cast<float>(own.Concentration(t))});
    }
    bench.model.WriteFiles();
    for (int p = 1; p <= 3; ++p)
        bench.model.SetParameter(p, bench.model.Value(0, p), FitCodeIndividualOnly);
    LoadWithExactSolution();

    for (int16_t i = 1; i <= 10; ++i) {
        bench.model.Fit()->Done = 0;
        for (int calls = 0; calls < 60 && bench.model.Fit()->Done != -1; ++calls) {
            bench.FitIndividual(i);
            ASSERT_EQ(bench.model.Fit()->Erreur, 0) << "individual " << i << " call " << calls;
        }
        EXPECT_EQ(bench.model.Fit()->Done, -1) << "individual " << i;
    }
    for (int i = 1; i <= 10; ++i) ExpectValues(i, truth[i]);
}

}  // namespace
}  // namespace tessuvan::testing
