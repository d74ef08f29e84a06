// Loading a model: method selection, definitions, values, observation counts, the files, and
// the checks that keep bad input from touching memory or the host's records.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "engine_bench.h"
#include "library/data_file.h"
#include "library/model_load.h"

namespace tessuvan::testing {
namespace {

using tessuvan_host::HostModel;

// Two species, NIndividuals individuals with two points each, two outputs, three parameters.
void SmallModel(HostModel& model, int individuals = 2)
{
    BInitials& init = *model.Init();
    init.NEspeces = 2;
    init.NIndividuals = static_cast<int16_t>(individuals);
    init.NInterrupts = 1;
    init.NAjustables = 3;
    init.NSorties = 2;
    init.NPopAPriori = 5;
    for (int a = 1; a <= 3; ++a) model.SetParameter(a, static_cast<float>(a), FitCodePopulationAndIndividual, 0.5f);
    model.SetOutput(1, "F1");
    model.SetOutput(2, "F2*A1");
    model.SetSpecies([](int s, int, int) { return s == 1 ? std::string("10") : std::string("0"); },
                     [](int) { return std::string(); },
                     [](int s, int e) { return s == e ? std::string("-A2") : std::string(); });
    for (int i = 1; i <= individuals; ++i) {
        model.AddPoint(i, 1, 0, {1, 2});
        model.AddPoint(i, 1, 1, {3, 0});
    }
}

class Load : public ::testing::Test {
protected:
    void SetUp() override { SmallModel(bench.model); }
    void LoadWritten()
    {
        bench.model.WriteFiles();
        bench.Load();
    }
    int16_t Erreur() { return bench.model.Fit()->Erreur; }
    EngineBench bench;
};

TEST_F(Load, AKnownMethodClearsWhateverCodeTheHostPassed)
{
    bench.model.SetMethod("RUNGE-KUTTA 4");
    bench.model.Fit()->Erreur = 77;
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_NE(bench.state->CurrentIntegrator, nullptr);
    EXPECT_TRUE(bench.state->modelReady);
    EXPECT_TRUE(FormulaPresent(bench.state->OutputFormulas[2]));
}

TEST_F(Load, AnUnknownMethodKeepsThePreviousOneAndCompilesNothing)
{
    Integrator previous = &ClockIntegrator;
    bench.state->CurrentIntegrator = previous;
    bench.model.SetMethod("RUNGE-KUTTA 6");
    LoadWritten();
    EXPECT_GE(Erreur(), TessuvanUnknownMethod);
    EXPECT_EQ(bench.state->CurrentIntegrator, previous);
    EXPECT_NE(bench.state->OutputFormulas[1], nullptr);  // allocated, never compiled
    EXPECT_FALSE(FormulaPresent(bench.state->OutputFormulas[1]));
    EXPECT_FALSE(FormulaPresent(bench.state->EquationSet.AM[1][1]));
    EXPECT_FALSE(bench.state->modelReady);
}

TEST_F(Load, ADefinitionNamingItsOwnParameterIsEmptiedInTheHostTableWithoutError)
{
    bench.model.SetDefinition(2, "A2*3");
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.model.Table()->DefiningTexts[1].vt, TessuvanTextEmpty);
    EXPECT_EQ(bench.state->AdjustableDefinitions[2].PE, nullptr);
    EXPECT_EQ(bench.model.Code(0, 2), FitCodePopulationAndIndividual);
}

TEST_F(Load, ADefinedParameterGetsItsValuesAndLosesItsPopulationCode)
{
    bench.model.SetDefinition(3, "A1*10");
    bench.model.Value(2, 1) = 4;
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.model.Value(0, 3), 10);
    EXPECT_EQ(bench.model.Value(1, 3), 10);
    EXPECT_EQ(bench.model.Value(2, 3), 40);
    EXPECT_EQ(bench.model.Code(0, 3), FitCodeFixed);
    EXPECT_EQ(bench.state->AdjustableTable[3].PA[0], FitCodeFixed);
    EXPECT_EQ(bench.state->AdjustedCount, 2);
}

TEST_F(Load, DefinitionsThatReferToEachOtherAreAnErrorAndStaySafeToRelease)
{
    bench.model.SetDefinition(1, "A2*2");
    bench.model.SetDefinition(2, "A1*3");
    LoadWritten();
    EXPECT_GT(Erreur(), 0);
    EXPECT_FALSE(bench.state->modelReady);
    bench.Release();
}

TEST_F(Load, ACodeTwoParameterAtZeroTakesTheMeanOfTheIndividualValues)
{
    bench.model.Value(0, 1) = 0;
    bench.model.Value(1, 1) = 2;
    bench.model.Value(2, 1) = 5;
    LoadWritten();
    EXPECT_EQ(bench.state->AdjustableTable[1].PV[0], 3.5);
}

TEST_F(Load, AnIndividualWithoutObservationsIsDemotedAndNotCountedAPosteriori)
{
    bench.model.data[2].values = {};  // individual 2 observes nothing
    bench.model.data[3].values = {};
    bench.model.data[3].values[0] = -1;  // not above the threshold: no observation
    bench.model.Code(2, 1) = FitCodeIndividualOnly;
    bench.model.Code(1, 1) = FitCodeIndividualOnly;
    LoadWritten();
    const auto& parameter1 = bench.state->AdjustableTable[1];
    const auto& parameter2 = bench.state->AdjustableTable[2];
    EXPECT_EQ(parameter1.PA[2], FitCodeFixed);
    EXPECT_EQ(parameter1.PA[1], FitCodeIndividualOnly);
    EXPECT_EQ(parameter2.PA[2], FitCodePopulationOnly);
    EXPECT_EQ(parameter2.PA[1], FitCodePopulationAndIndividual);
    EXPECT_EQ(bench.Store().IndividualsWithObservations, 1);
    EXPECT_EQ(bench.Store().TotalObservationCount, 3);
    EXPECT_EQ(bench.Store().ObservationCount(2), 0);
    EXPECT_EQ(bench.model.Init()->NPopAPosteriori, 5 + 1);
    EXPECT_EQ(Erreur(), 0);
}

TEST_F(Load, NoObservationAtAllAddsOneAndTooFewAddTwo)
{
    for (auto& row : bench.model.data) row.values = {};
    bench.model.data[0].values[0] = 1;  // one observation, three adjusted parameters
    LoadWritten();
    EXPECT_EQ(Erreur(), TessuvanTooFewObservations);

    EngineBench none;
    SmallModel(none.model);
    for (auto& row : none.model.data) row.values = {};
    none.model.WriteFiles();
    none.Load();
    EXPECT_EQ(none.model.Fit()->Erreur, TessuvanNoObservation + TessuvanTooFewObservations);
}

TEST_F(Load, ThreeObservationsCoverTwoAdjustedParameters)
{
    bench.model.Code(0, 3) = FitCodeFixed;
    for (auto& row : bench.model.data) row.values = {};
    for (size_t n = 0; n < 3; ++n) bench.model.data[n].values[0] = 1;
    LoadWritten();
    EXPECT_EQ(bench.state->AdjustedCount, 2);
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.state->FittedValueCount, 2 * (2 + 1));
    EXPECT_TRUE(bench.state->PopulationFitFlag);
}

TEST_F(Load, SpeciesLinesLandInTheirSlotsAndMissingLinesReadEmpty)
{
    BInitials& init = *bench.model.Init();
    init.NIndividuals = 3;
    init.NInterrupts = 2;
    for (int a = 1; a <= 3; ++a) bench.model.SetParameter(a, 1, FitCodeFixed);
    bench.model.SetSpecies([](int s, int i, int t) { return std::to_string(100 * s + 10 * i + t); },
                           [](int s) { return "A" + std::to_string(s); },
                           [](int s, int e) { return std::to_string(s) + "*" + std::to_string(e); });
    ASSERT_EQ(bench.model.speciesLines.size(), 18u);
    bench.model.speciesLines.resize(16);  // the last two lines are missing
    bench.model.speciesLines[6] += "\r";  // CR LF ends this line
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    const LibraryState& state = *bench.state;
    EXPECT_EQ(state.SpeciesTable[1].TextFormula[3][2], u"132");
    EXPECT_EQ(state.EquationSet.TextFM[1], u"A1");
    EXPECT_EQ(state.EquationSet.TextAM[1][2], u"1*2");
    EXPECT_EQ(state.SpeciesTable[2].TextFormula[1][1], u"211");
    EXPECT_EQ(state.EquationSet.TextFM[2], u"A2");
    EXPECT_TRUE(state.EquationSet.TextAM[2][1].empty());
    EXPECT_TRUE(state.EquationSet.TextAM[2][2].empty());
    EXPECT_NE(state.EquationSet.FM[1], nullptr);
    EXPECT_EQ(state.EquationSet.AM[2][2], nullptr);
}

TEST_F(Load, APParameterWithoutAnInterruptOneFormulaKeepsItsValue)
{
    bench.model.Init()->NPParametres = 2;
    bench.model.SetPText(1, 1, "Q1*4");
    bench.model.Init()->NQParametres = 1;
    bench.model.SetQ(2, 1, 2);  // the last individual's Q values are installed at load
    bench.state->variables.PParameters[2] = 9;
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.state->variables.PParameters[1], 8);
    EXPECT_EQ(bench.state->variables.PParameters[2], 9);
}

TEST_F(Load, AFormulaErrorLeavesRecordsUncompiledAndNeverEvaluated)
{
    bench.model.Init()->NPParametres = 1;
    bench.model.SetPText(1, 1, "4");
    bench.model.SetDefinition(3, "A1+(");  // malformed: nothing after it is compiled
    bench.state->variables.PParameters[1] = 9;
    LoadWritten();
    EXPECT_GT(Erreur(), 0);
    EXPECT_NE(bench.state->PParameterFormulas[1][1], nullptr);
    EXPECT_EQ(bench.state->variables.PParameters[1], 9);
    EXPECT_FALSE(bench.state->modelReady);
    bench.model.Fit()->Erreur = 0;
    bench.Simulate();
    EXPECT_EQ(Erreur(), TessuvanContractError);
}

TEST_F(Load, TextsOutsideAsciiAreFormulaErrors)
{
    bench.model.SetOutput(1, "F1\xc3\xa9");
    bench.model.speciesLines[0] = "1\xe9";
    LoadWritten();
    EXPECT_EQ(Erreur(), 2);
}

TEST_F(Load, CountsBeyondTheCapacitiesAreRefusedBeforeAnythingIsTouched)
{
    // Above every capacity of the build (1000 in the standard builds).
    const TessuvanCount beyond = static_cast<TessuvanCount>(std::max(1000, MaxIndividuals + 1));
    for (TessuvanCount BInitials::*field : {&BInitials::NEspeces, &BInitials::NIndividuals, &BInitials::NInterrupts,
                                            &BInitials::NPParametres, &BInitials::NQParametres, &BInitials::NAjustables,
                                            &BInitials::NSorties, &BInitials::NPoints}) {
        EngineBench run;
        SmallModel(run.model);
        run.model.WriteFiles();
        for (TessuvanCount bad : {TessuvanCount(-1), beyond}) {
            if (field == &BInitials::NPoints && bad == beyond) continue;  // read as too few records
            run.model.Init()->*field = bad;
            run.model.Init()->NPopAPosteriori = -7;
            run.model.Fit()->Erreur = 0;
            run.Load();
            EXPECT_EQ(run.model.Fit()->Erreur, TessuvanContractError);
            EXPECT_EQ(run.model.Init()->NPopAPosteriori, -7);
            EXPECT_EQ(run.state->store, nullptr);
        }
    }
}

TEST_F(Load, IndividualAndInterruptNumbersOutsideTheirRangesAreContractErrors)
{
    bench.model.data[1].individual = 3;
    LoadWritten();
    EXPECT_EQ(Erreur(), TessuvanContractError);
    EXPECT_EQ(bench.state->store, nullptr);

    EngineBench interrupt;
    SmallModel(interrupt.model);
    interrupt.model.data[3].interrupt = 2;
    interrupt.model.WriteFiles();
    interrupt.Load();
    EXPECT_EQ(interrupt.model.Fit()->Erreur, TessuvanContractError);
}

TEST_F(Load, MoreThanTheMostPointsForOneIndividualIsAContractError)
{
    bench.model.data.clear();
    for (int j = 0; j <= kMaxPoints; ++j) bench.model.AddPoint(1, 1, static_cast<float>(j), {1});
    LoadWritten();
    EXPECT_EQ(Erreur(), TessuvanContractError);
    bench.model.data.pop_back();
    bench.model.Fit()->Erreur = 0;
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.Store().PointCount(1), kMaxPoints);
}

TEST_F(Load, MissingOrShortFilesAndBadNamesAreFileErrors)
{
    bench.model.WriteFiles();
    bench.model.Init()->NPoints = 5;  // the file holds 4
    bench.Load();
    EXPECT_EQ(Erreur(), TessuvanFileError);

    EngineBench missing;
    SmallModel(missing.model);
    missing.model.WriteFiles();
    std::remove(missing.model.speciesFile.c_str());
    missing.Load();
    EXPECT_EQ(missing.model.Fit()->Erreur, TessuvanFileError);
    missing.Release();  // Fin still follows

    EngineBench badName;
    SmallModel(badName.model);
    badName.model.WriteFiles();
    badName.model.Init()->FileNameDat.vt = 3;  // not a text
    badName.Load();
    EXPECT_EQ(badName.model.Fit()->Erreur, TessuvanFileError);
}

TEST_F(Load, AStoreThatCannotBeAllocatedIsReportedAndFinStillFollows)
{
    bench.state->storeByteLimit = 16;
    LoadWritten();
    EXPECT_EQ(Erreur(), TessuvanOutOfMemory);
    EXPECT_EQ(bench.state->store, nullptr);
    bench.model.Fit()->Erreur = 0;
    bench.Release();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_FALSE(bench.model.DataFileExists());
}

TEST_F(Load, ALoadWithoutFinReleasesThePreviousModelAndReadsTheNewData)
{
    LoadWritten();
    ASSERT_EQ(Erreur(), 0);
    bench.model.AddPoint(1, 1, 2, {4, 4});
    LoadWritten();
    EXPECT_EQ(Erreur(), 0);
    EXPECT_EQ(bench.Store().PointCount(1), 3);
    EXPECT_TRUE(bench.state->modelReady);
}

TEST_F(Load, TheConstantTableStartsEmptyForEveryLoad)
{
    bench.model.SetOutput(2, "F2*A1*1.5+2.5");
    LoadWritten();
    const int used = bench.state->constants.ConstantCount;
    EXPECT_GT(used, 1);
    bench.Release();
    bench.model.Fit()->Erreur = 0;
    LoadWritten();
    EXPECT_EQ(bench.state->constants.ConstantCount, used);
}

TEST(StoreSize, TwelveIndividualsOfElevenPointsTakeLessThanOneMebibyte)
{
    EngineBench bench;
    tessuvan_host::OralModel oral;
    oral.individuals = 12;
    ASSERT_EQ(oral.times.size(), 11u);
    tessuvan_host::BuildOralModel(bench.model, oral);
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(bench.Store().shape().pointsPerIndividual, 11);
    EXPECT_LT(bench.Store().AllocatedBytes(), size_t{1} << 20);
}

}  // namespace
}  // namespace tessuvan::testing
