// Whole runs through the exported entry points, as a host makes them: records and texts built
// with the public header, files in a temporary directory, results read back from the result
// file and the host's records.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "abi/host_model.h"

namespace tessuvan_host {
namespace {

struct MethodCase {
    const char* name;
    double relativeBound;  // largest error allowed, relative to the peak concentration
};

class OralAbsorption : public ::testing::TestWithParam<MethodCase> {};

// C(t) = Σ D·ka / (V·(ka − ke)) · (e^(−ke·(t − td)) − e^(−ka·(t − td))) over the doses given at
// td ≤ t: the first at the first point, the second added to the absorption site at 12 h.
TEST_P(OralAbsorption, EveryPointMatchesTheAnalyticSolution)
{
    HostModel model;
    OralModel oral;
    oral.individuals = 2;
    model.SetMethod(GetParam().name);
    BuildOralModel(model, oral);
    const double otherVolume = 45;
    model.Value(2, 3) = static_cast<float>(otherVolume);
    model.Load();
    ASSERT_EQ(model.Fit()->Erreur, 0);
    model.Simulate();
    ASSERT_EQ(model.Fit()->Erreur, 0);

    const std::vector<PointRow> rows = model.ReadResults();
    ASSERT_EQ(rows.size(), 2 * oral.times.size());
    double peak = 0;
    for (double t : oral.times) peak = std::max(peak, oral.Concentration(t));
    const double bound = GetParam().relativeBound * peak;
    for (const PointRow& row : rows) {
        const double exact = oral.Concentration(row.time);
        const double individual = row.individual == 1 ? exact : exact * oral.V / otherVolume;
        EXPECT_NEAR(row.PopulationPrediction(1), exact, bound) << "t = " << row.time;
        EXPECT_NEAR(row.IndividualPrediction(1), individual, bound) << "individual " << row.individual << ", t = " << row.time;
    }
    // Values of individual 2 scale its fit to the observations: its residuals are not zero.
    EXPECT_GT(model.Fit()->ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + 2], model.Fit()->ErreurCalc[TESSUVAN_INDIVIDUAL_SUMS + 1]);
    model.Release();
    EXPECT_FALSE(model.DataFileExists());
}

INSTANTIATE_TEST_SUITE_P(FourMethods, OralAbsorption,
                         // With Precision 1e-4: the fixed-step methods take 100 steps per interval and
                         // are exact to the single-precision rounding of the result file; the
                         // adaptive ones are held to a tenth of the tolerance, and the exponential
                         // method, whose step control is looser, to ten times it.
                         ::testing::Values(MethodCase{"RUNGE-KUTTA 4", 1e-6}, MethodCase{"RUNGE-KUTTA 5", 1e-6},
                                           MethodCase{"RUNGE-KUTTA QC", 1e-5}, MethodCase{"CHU-BERMAN", 1e-3}),
                         [](const ::testing::TestParamInfo<MethodCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != 0; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name.push_back(*c);
                             return name;
                         });

// Individuals of one point each: every prediction comes from the interrupt formulas alone, no
// interval is integrated, so the run does not depend on the method.
void OnePointModel(HostModel& model)
{
    BInitials& init = *model.Init();
    init.NEspeces = 1;
    init.NIndividuals = 3;
    init.NInterrupts = 1;
    init.NAjustables = 1;
    init.NSorties = 2;
    init.NPopAPriori = 2;
    model.SetParameter(1, 2, FitCodePopulationAndIndividual, 0.5f);
    model.Value(3, 1) = 4;
    model.SetOutput(1, "F1*A1");
    model.SetOutput(2, "T+1");
    model.SetSpecies([](int, int i, int) { return std::to_string(i); }, [](int) { return std::string("-F1"); },
                     [](int, int) { return std::string(); });
    model.AddPoint(3, 1, 7, {10, 8});
    model.AddPoint(1, 1, 5, {3, 6});
    model.AddPoint(2, 1, 6, {0, 7});
    model.WriteFiles();
}

TEST(HostRun, ALoadSimulateReleaseCycleReturnsPredictionsAndErasesTheFiles)
{
    HostModel model;
    OnePointModel(model);
    model.Load();
    ASSERT_EQ(model.Fit()->Erreur, 0);
    EXPECT_EQ(model.Init()->NPopAPosteriori, 2 + 3);
    model.Simulate();
    ASSERT_EQ(model.Fit()->Erreur, 0);
    const std::vector<PointRow> rows = model.ReadResults();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].individual, 1);
    EXPECT_EQ(rows[2].individual, 3);
    EXPECT_EQ(rows[2].PopulationPrediction(1), 3 * 2);
    EXPECT_EQ(rows[2].IndividualPrediction(1), 3 * 4);
    EXPECT_EQ(rows[2].IndividualPrediction(2), 8);
    EXPECT_EQ(rows[1].Observed(2), 7);
    // Population residuals 1 (individual 1, output 2) and 4 (individual 3, output 1) among
    // the observations; with γ = 0 the weight is (1·16)^(−1/2) = 1/4 everywhere observed.
    const float* sums = model.Fit()->ErreurCalc;
    EXPECT_FLOAT_EQ(sums[3], 0.25f * 16);
    EXPECT_FLOAT_EQ(sums[0], 0.25f * (1 + 16));
    EXPECT_FLOAT_EQ(sums[TESSUVAN_INDIVIDUAL_SUMS + 3], 0.25f * 4);
    model.Release();
    EXPECT_EQ(model.Fit()->Erreur, 0);
    EXPECT_FALSE(model.DataFileExists());
    EXPECT_FALSE(model.SpeciesFileExists());
}

TEST(HostRun, SimulationWithoutALoadedModelIsAContractError)
{
    HostModel model;
    OnePointModel(model);
    model.Release();  // whatever an earlier test left
    model.Fit()->Erreur = 0;
    model.Simulate();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);

    model.Fit()->Erreur = 0;
    model.SetMethod("EULER");
    model.Load();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanUnknownMethod);
    model.Simulate();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanUnknownMethod + TessuvanContractError);
    model.Fit()->Erreur = TessuvanUnknownMethod;
    model.Release();  // releases everything even with the code still set
    EXPECT_FALSE(model.DataFileExists());
    EXPECT_FALSE(model.SpeciesFileExists());
    model.Fit()->Erreur = 0;
    model.Simulate();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);
}

TEST(HostRun, ASecondRunAfterFinStartsAFreshModel)
{
    {
        HostModel first;
        OnePointModel(first);
        first.Load();
        first.Simulate();
        first.Release();
        ASSERT_EQ(first.Fit()->Erreur, 0);
    }
    HostModel second;
    OnePointModel(second);
    second.Init()->NSorties = 1;
    second.Init()->NIndividuals = 4;
    second.SetParameter(1, 2, FitCodePopulationAndIndividual, 0.5f);
    second.SetSpecies([](int, int i, int) { return std::to_string(i); }, [](int) { return std::string(); },
                      [](int, int) { return std::string(); });
    second.AddPoint(4, 1, 9, {1});
    second.WriteFiles();
    second.Load();
    ASSERT_EQ(second.Fit()->Erreur, 0);
    second.Simulate();
    ASSERT_EQ(second.Fit()->Erreur, 0);
    const std::vector<PointRow> rows = second.ReadResults();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3].IndividualPrediction(1), 4 * 2);
    EXPECT_EQ(rows[3].IndividualPrediction(2), 0);
    second.Release();
}

TEST(HostRun, CountsBeyondTheCapacitiesAreRefused)
{
    HostModel model;
    OnePointModel(model);
    model.Init()->NIndividuals = MaxIndividuals + 1;
    model.Load();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);
    model.Fit()->Erreur = 0;
    model.Simulate();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);
    model.Fit()->Erreur = 0;
    model.Release();
    EXPECT_EQ(model.Fit()->Erreur, 0);
}

}  // namespace
}  // namespace tessuvan_host
