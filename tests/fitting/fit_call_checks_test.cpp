// Calls a fit refuses before touching anything: no model, an individual out of range, a
// fitted population value of 0.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "fit_test_support.h"
#include "entry/entry_points.h"

namespace tessuvan {
namespace {

class RefusedFitCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        state = testing::StateWithStore(3, 2, 1, 2);
        host = std::make_unique<testing::HostRecords>(*state);
        host->fit.Tolerance = 0.5f;
        host->fit.Done = 7;
        for (int p = 1; p <= 2; ++p) {
            state->AdjustableTable[p].PV[0] = 1.5;
            state->AdjustableTable[p].PV[1] = 2.5;
            host->table->FitCodes[0][p - 1] = FitCodePopulationAndIndividual;
            host->table->FitCodes[1][p - 1] = FitCodeIndividualOnly;
            host->table->Values[1][p - 1] = 9;
        }
        tableBefore = Bytes(host->table.get(), sizeof(ParameterTable));
    }
    static std::vector<unsigned char> Bytes(const void* data, size_t size)
    {
        const auto* begin = static_cast<const unsigned char*>(data);
        return std::vector<unsigned char>(begin, begin + size);
    }
    void ExpectNothingChangedBut(int16_t erreur)
    {
        EXPECT_EQ(host->fit.Erreur, erreur);
        EXPECT_EQ(host->fit.Done, 7);
        EXPECT_EQ(Bytes(host->table.get(), sizeof(ParameterTable)), tableBefore);
        for (int p = 1; p <= 2; ++p) {
            EXPECT_EQ(state->AdjustableTable[p].PV[0], 1.5);
            EXPECT_EQ(state->AdjustableTable[p].PV[1], 2.5);
            EXPECT_EQ(state->AdjustableTable[p].PA[0], 0);
            EXPECT_EQ(state->AdjustableTable[p].PA[1], 0);
        }
    }
    void FitPopulation() { AjustementPop(*state, &host->init, &host->fit, nullptr, host->table.get()); }
    void FitIndividual(int16_t i) { AjustementInd(*state, &i, &host->init, &host->fit, nullptr, host->table.get()); }

    std::unique_ptr<LibraryState> state;
    std::unique_ptr<testing::HostRecords> host;
    std::vector<unsigned char> tableBefore;
};

TEST_F(RefusedFitCall, WithoutALoadedModelBothFitsReportTheContractCode)
{
    state->modelReady = false;
    FitPopulation();
    ExpectNothingChangedBut(TessuvanContractError);
    host->fit.Erreur = 0;
    FitIndividual(1);
    ExpectNothingChangedBut(TessuvanContractError);
}

TEST_F(RefusedFitCall, AnIndividualOutsideOneToNIndividualsIsTheContractCode)
{
    for (int16_t i : {0, -1, 4, 32767}) {
        host->fit.Erreur = 0;
        FitIndividual(i);
        ExpectNothingChangedBut(TessuvanContractError);
    }
    host->fit.Erreur = 0;
    AjustementInd(*state, nullptr, &host->init, &host->fit, nullptr, host->table.get());
    ExpectNothingChangedBut(TessuvanContractError);
}

TEST_F(RefusedFitCall, CountsOtherThanTheLoadedModelsAreTheContractCode)
{
    host->init.NIndividuals = 4;  // the model was loaded with 3
    FitPopulation();
    ExpectNothingChangedBut(TessuvanContractError);
    host->init.NIndividuals = 3;
    host->init.NEspeces = kMaxSpecies + 1;
    host->fit.Erreur = 0;
    FitIndividual(1);
    ExpectNothingChangedBut(TessuvanContractError);
}

TEST_F(RefusedFitCall, APopulationValueOfZeroToBeFittedIsReportedAndChangesNothing)
{
    state->PopulationFitFlag = true;
    state->AdjustableTable[2].PV[0] = 0;
    host->fit.Erreur = 5;
    FitPopulation();
    EXPECT_EQ(host->fit.Erreur, 5 + TessuvanZeroFittedValue);
    state->AdjustableTable[2].PV[0] = 1.5;
    ExpectNothingChangedBut(5 + TessuvanZeroFittedValue);
}

}  // namespace
}  // namespace tessuvan
