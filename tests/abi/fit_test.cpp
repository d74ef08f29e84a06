// The fits as a host drives them: records and files built with the host builder, calls
// through the exported Ajustement_pop and Ajustement_ind, results read from the records.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "abi/host_model.h"

namespace tessuvan_host {
namespace {

struct Values {
    double ka, ke, V;
};

class HostFit : public ::testing::Test {
protected:
    void TearDown() override { model.Release(); }

    // The oral model of ten individuals, fitted with the adaptive method at a tight tolerance.
    void Build(const std::vector<Values>& truth)
    {
        OralModel oral;
        oral.individuals = static_cast<int>(truth.size());
        BuildOralModel(model, oral);
        model.data.clear();
        for (int i = 1; i <= oral.individuals; ++i) {
            OralModel own = oral;
            own.ka = truth[i - 1].ka;
            own.ke = truth[i - 1].ke;
            own.V = truth[i - 1].V;
            for (double t : oral.times)
                model.AddPoint(i, t < oral.secondDoseTime ? 1 : 2, static_cast<float>(t),
                               {static_cast<float>(own.Concentration(t))});
        }
        model.WriteFiles();
        model.Fit()->Precision = 1e-7f;
        model.Fit()->Tolerance = 1e-13f;
    }
    void LoadAndSimulate()
    {
        model.Load();
        ASSERT_EQ(model.Fit()->Erreur, 0);
        model.Simulate();
        if (model.Fit()->Erreur == TessuvanIntegrationNoMethod) GTEST_SKIP() << "the integration methods are not built";
        ASSERT_EQ(model.Fit()->Erreur, 0);
    }
    void ExpectRow(int row, const Values& expected)
    {
        const double values[3] = {expected.ka, expected.ke, expected.V};
        for (int p = 1; p <= 3; ++p)
            EXPECT_LT(std::fabs(model.Value(row, p) / values[p - 1] - 1), 1e-4) << "row " << row << " parameter " << p;
    }
    void FitPopulation() { Ajustement_pop(model.Init(), model.Fit(), nullptr, model.Table()); }
    void FitIndividual(int16_t i) { Ajustement_ind(&i, model.Init(), model.Fit(), nullptr, model.Table()); }

    HostModel model;
};

TEST_F(HostFit, RepeatedPopulationFitsConvergeToTheCommonValues)
{
    const Values truth{1.2, 0.15, 30};
    Build(std::vector<Values>(10, truth));
    model.Value(0, 1) = 1.6f;
    model.Value(0, 2) = 0.11f;
    model.Value(0, 3) = 38;
    LoadAndSimulate();
    if (IsSkipped()) return;

    for (int calls = 0; calls < 60 && model.Fit()->Done != -1; ++calls) {
        FitPopulation();
        ASSERT_EQ(model.Fit()->Erreur, 0) << "call " << calls;
    }
    EXPECT_EQ(model.Fit()->Done, -1);
    ExpectRow(0, truth);
    for (int p = 1; p <= 3; ++p) EXPECT_GT(model.Table()->StandardErrors[p - 1], 0) << p;
}

TEST_F(HostFit, RepeatedIndividualFitsRecoverEachIndividualsValues)
{
    std::vector<Values> truth;
    for (int i = 1; i <= 10; ++i) {
        const double shift = i - 5.5;
        truth.push_back({1.2 * (1 + 0.04 * shift), 0.15 * (1 - 0.03 * shift), 30 * (1 + 0.05 * shift)});
    }
    Build(truth);
    for (int p = 1; p <= 3; ++p) model.SetParameter(p, model.Value(0, p), FitCodeIndividualOnly);
    LoadAndSimulate();
    if (IsSkipped()) return;

    for (int16_t i = 1; i <= 10; ++i) {
        model.Fit()->Done = 0;
        for (int calls = 0; calls < 60 && model.Fit()->Done != -1; ++calls) {
            FitIndividual(i);
            ASSERT_EQ(model.Fit()->Erreur, 0) << "individual " << i << " call " << calls;
        }
        EXPECT_EQ(model.Fit()->Done, -1) << "individual " << i;
    }
    for (int i = 1; i <= 10; ++i) ExpectRow(i, truth[i - 1]);
}

TEST_F(HostFit, RefusedCallsLeaveTheRecordsAndTheResultFileAsTheyWere)
{
    Build(std::vector<Values>(2, Values{1.2, 0.15, 30}));
    LoadAndSimulate();
    if (IsSkipped()) return;
    const std::vector<char> results = ReadBytes(model.dataFile);
    std::vector<unsigned char> table(sizeof(ParameterTable));
    std::memcpy(table.data(), model.Table(), table.size());
    auto unchanged = [&] {
        EXPECT_EQ(ReadBytes(model.dataFile), results);
        EXPECT_EQ(std::memcmp(table.data(), model.Table(), table.size()), 0);
    };

    for (int16_t i : {0, 3, -5}) {
        model.Fit()->Erreur = 0;
        FitIndividual(i);
        EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError) << i;
        unchanged();
    }

}

TEST_F(HostFit, APopulationValueOfZeroToBeFittedIsReportedAndTheStateStaysUsable)
{
    Build(std::vector<Values>(2, Values{1.2, 0.15, 30}));
    model.Code(0, 1) = FitCodeFixed;  // loaded as fixed with the population value 0
    model.Value(0, 1) = 0;
    LoadAndSimulate();
    if (IsSkipped()) return;
    const std::vector<char> results = ReadBytes(model.dataFile);
    model.Code(0, 1) = FitCodePopulationAndIndividual;  // then the host asks to fit it
    std::vector<unsigned char> table(sizeof(ParameterTable));
    std::memcpy(table.data(), model.Table(), table.size());

    FitPopulation();
    EXPECT_EQ(model.Fit()->Erreur, TessuvanZeroFittedValue);
    EXPECT_EQ(ReadBytes(model.dataFile), results);
    EXPECT_EQ(std::memcmp(table.data(), model.Table(), table.size()), 0);

    model.Code(0, 1) = FitCodeFixed;
    model.Fit()->Erreur = 0;
    FitPopulation();
    EXPECT_EQ(model.Fit()->Erreur, 0);
    EXPECT_EQ(model.Value(0, 1), 0);
}

TEST(HostFitWithoutModel, BothFitsReportTheContractCode)
{
    HostModel model;
    BuildOralModel(model, OralModel{});
    Ajustement_pop(model.Init(), model.Fit(), nullptr, model.Table());
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);
    model.Fit()->Erreur = 0;
    int16_t individual = 1;
    Ajustement_ind(&individual, model.Init(), model.Fit(), nullptr, model.Table());
    EXPECT_EQ(model.Fit()->Erreur, TessuvanContractError);
}

}  // namespace
}  // namespace tessuvan_host
