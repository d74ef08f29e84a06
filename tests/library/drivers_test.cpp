// The drivers walk an individual's points through its interrupts. With the clock integrator
// the amount of species 1 grows by the elapsed time, and the one output is that amount, so
// every prediction tells which interrupts were applied and which intervals integrated.
#include <gtest/gtest.h>

#include "engine_bench.h"
#include "library/drivers.h"

namespace tessuvan::testing {
namespace {

class Interrupts : public ::testing::Test {
protected:
    // One species F1, output "F1", parameter A1 (fixed); interrupt t of individual i sets F1
    // by dose(i, t) ("" leaves it as it is).
    void Build(int individuals, int interrupts, const std::function<std::string(int, int)>& dose)
    {
        BInitials& init = *bench.model.Init();
        init.NEspeces = 1;
        init.NIndividuals = static_cast<int16_t>(individuals);
        init.NInterrupts = static_cast<int16_t>(interrupts);
        init.NAjustables = 1;
        init.NSorties = 1;
        bench.model.SetParameter(1, 2, FitCodeFixed);
        bench.model.SetOutput(1, "F1");
        bench.model.SetSpecies([&](int, int i, int t) { return dose(i, t); }, [](int) { return std::string(); },
                               [](int, int) { return std::string(); });
    }
    void LoadWithClock()
    {
        bench.model.WriteFiles();
        bench.Load();
        ASSERT_EQ(bench.model.Fit()->Erreur, 0);
        bench.state->CurrentIntegrator = &ClockIntegrator;
    }
    WorkingFloat Individual(int i, int j) { return bench.Store().IndividualPrediction(i, j, 1); }
    WorkingFloat Population(int i, int j) { return bench.Store().PopulationPrediction(i, j, 1); }

    EngineBench bench;
};

TEST_F(Interrupts, AmountsAreIntegratedWithinAnInterruptAndResetWhereTheNextBegins)
{
    Build(1, 2, [](int, int t) { return t == 1 ? std::string("10") : std::string("F1+100"); });
    for (float t : {0.f, 1.f, 3.f}) bench.model.AddPoint(1, 1, t, {1});
    for (float t : {4.f, 6.f}) bench.model.AddPoint(1, 2, t, {1});
    LoadWithClock();
    bench.Simulate();
    EXPECT_EQ(Individual(1, 1), 10);
    EXPECT_EQ(Individual(1, 2), 11);
    EXPECT_EQ(Individual(1, 3), 13);
    EXPECT_EQ(Individual(1, 4), 114);  // 13 + 1 integrated under interrupt 1, then + 100
    EXPECT_EQ(Individual(1, 5), 116);
    EXPECT_EQ(Population(1, 5), 116);
}

TEST_F(Interrupts, SeveralInterruptsOpeningAtOnePointApplyInTurnAndKeepTheEarlierPredictionAsPrevious)
{
    Build(1, 3, [](int, int t) { return t == 1 ? std::string("10") : std::string("F1+100"); });
    bench.model.AddPoint(1, 1, 0, {1});
    bench.model.AddPoint(1, 3, 2, {1});  // interrupts 2 and 3 both open here
    bench.model.AddPoint(1, 3, 5, {1});
    LoadWithClock();
    bench.Simulate();
    EXPECT_EQ(Individual(1, 2), 212);
    EXPECT_EQ(bench.Store().PreviousIndividualPrediction(1, 2, 1), 112);
    EXPECT_EQ(Individual(1, 3), 215);
}

TEST_F(Interrupts, AFirstPointBeyondInterruptOneHasEveryEarlierInterruptAppliedAtItsTime)
{
    Build(1, 3, [](int, int t) { return "F1+" + std::to_string(t); });
    bench.model.AddPoint(1, 3, 2, {1});
    bench.model.AddPoint(1, 3, 7, {1});
    LoadWithClock();
    bench.state->variables.SpeciesAmounts[1] = 0;
    SimulateIndividual(*bench.state, 1, bench.Store());
    EXPECT_EQ(Individual(1, 1), 6);  // 0 + 1 + 2 + 3
    EXPECT_EQ(Individual(1, 2), 11);
}

TEST_F(Interrupts, AFailedIntervalWritesItsCodeAsThePredictionsOfThePointItEndsAt)
{
    Build(1, 1, [](int, int) { return std::string("10"); });
    for (float t : {0.f, 1.f, 1.f, 2.f}) bench.model.AddPoint(1, 1, t, {1});
    LoadWithClock();
    bench.Simulate();
    EXPECT_EQ(Individual(1, 2), 11);
    EXPECT_EQ(Individual(1, 3), TessuvanIntegrationInterval);
    EXPECT_EQ(bench.Store().PreviousIndividualPrediction(1, 3, 1), 0);  // left alone
    EXPECT_EQ(Individual(1, 4), 12);  // the next interval clears the code
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
}

TEST_F(Interrupts, WithoutInterruptsNothingIsSetIntegratedOrPredicted)
{
    Build(1, 1, [](int, int) { return std::string("10"); });
    for (float t : {0.f, 1.f}) bench.model.AddPoint(1, 1, t, {1});
    LoadWithClock();
    bench.state->init.record.NInterrupts = 0;
    bench.state->variables.SpeciesAmounts[1] = 7;
    bench.Store().IndividualPrediction(1, 2, 1) = -1;
    SimulateIndividual(*bench.state, 1, bench.Store());
    EXPECT_EQ(bench.state->variables.SpeciesAmounts[1], 7);
    EXPECT_EQ(Individual(1, 2), -1);
    EXPECT_EQ(bench.state->variables.CurrentTime, 0);
}

TEST_F(Interrupts, AnIndividualWithoutPointsIsSkippedAndTheOthersAreSimulated)
{
    Build(2, 1, [](int i, int) { return std::to_string(10 * i); });
    bench.model.AddPoint(2, 1, 0, {1});
    bench.model.AddPoint(2, 1, 1, {1});
    LoadWithClock();
    EXPECT_EQ(bench.Store().PointCount(1), 0);
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, 0);
    EXPECT_EQ(Individual(2, 2), 21);
    EXPECT_EQ(bench.model.ReadResults().size(), 2u);
}

TEST_F(Interrupts, AOnePointIndividualAndALastPointOpeningAnInterruptArePredicted)
{
    Build(2, 2, [](int i, int t) { return t == 1 ? std::to_string(10 * i) : std::string("F1+100"); });
    bench.model.AddPoint(1, 1, 0, {1});
    bench.model.AddPoint(2, 1, 0, {1});
    bench.model.AddPoint(2, 1, 1, {1});
    bench.model.AddPoint(2, 2, 3, {1});
    LoadWithClock();
    bench.Simulate();
    EXPECT_EQ(Individual(1, 1), 10);
    EXPECT_EQ(Population(1, 1), 10);
    EXPECT_EQ(Individual(2, 3), 123);
    EXPECT_EQ(Population(2, 3), 123);
}

TEST_F(Interrupts, APointWithAnEarlierInterruptEndsTheIntegrationOfItsIndividual)
{
    Build(1, 3, [](int, int t) { return t == 1 ? std::string("10") : std::string("F1+100"); });
    bench.model.AddPoint(1, 2, 0, {1});
    bench.model.AddPoint(1, 1, 1, {1});
    bench.model.AddPoint(1, 1, 2, {1});
    LoadWithClock();
    bench.Store().IndividualPrediction(1, 3, 1) = -1;
    bench.Simulate();
    // Interrupts 1 and 2 apply at point 1; point 2 is reached under interrupt 2 but belongs to
    // interrupt 1, so interrupt 3 re-sets and predicts point 2, and point 3 is never reached.
    EXPECT_EQ(Individual(1, 1), 110);
    EXPECT_EQ(Individual(1, 2), 211);
    EXPECT_EQ(Individual(1, 3), -1);
}

TEST_F(Interrupts, AbsentFormulasKeepPAndAmountsAndGiveOutputsZero)
{
    Build(1, 2, [](int, int t) { return t == 1 ? std::string("10") : std::string(); });
    bench.model.Init()->NPParametres = 1;
    bench.model.Init()->NSorties = 2;
    bench.model.SetPText(2, 1, "7");  // no formula for interrupt 1
    bench.model.SetOutput(2, "P1");
    bench.model.AddPoint(1, 1, 0, {1, 1});
    bench.model.AddPoint(1, 2, 2, {1, 1});
    bench.model.AddPoint(1, 2, 3, {1, 1});
    bench.state->variables.PParameters[1] = 5;
    LoadWithClock();
    EXPECT_EQ(bench.state->variables.PParameters[1], 5);  // kept at load
    bench.Simulate();
    EXPECT_EQ(bench.Store().PopulationPrediction(1, 1, 2), 5);
    // The individual walk starts from what the population walk left in P1.
    EXPECT_EQ(bench.Store().IndividualPrediction(1, 1, 2), 7);
    EXPECT_EQ(Individual(1, 2), 12);  // the amount reached, not reset
    EXPECT_EQ(bench.Store().IndividualPrediction(1, 2, 2), 7);
    // An output whose record exists but never compiled counts as absent: 0.
    bench.state->OutputFormulas[2]->compiled = false;
    SimulateIndividual(*bench.state, 1, bench.Store());
    EXPECT_EQ(bench.Store().IndividualPrediction(1, 3, 2), 0);
}

TEST_F(Interrupts, WithoutAMethodTheIntervalsReportTheNoMethodCode)
{
    Build(1, 1, [](int, int) { return std::string("10"); });
    for (float t : {0.f, 1.f}) bench.model.AddPoint(1, 1, t, {1});
    LoadWithClock();
    bench.state->CurrentIntegrator = nullptr;
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanIntegrationNoMethod);
    EXPECT_EQ(Individual(1, 2), TessuvanIntegrationNoMethod);
}

TEST(PopulationValues, ATinyPopulationValueIsReplacedByTheIndividualsOnlyInTheSixtyFourBitBuild)
{
    EngineBench bench;
    BInitials& init = *bench.model.Init();
    init.NEspeces = 1;
    init.NIndividuals = 2;
    init.NInterrupts = 1;
    init.NAjustables = 2;
    init.NSorties = 1;
    bench.model.SetParameter(1, 0, FitCodePopulationOnly);
    bench.model.SetParameter(2, 4, FitCodeIndividualOnly);
    bench.model.Value(1, 1) = 3;
    bench.model.Value(2, 1) = 5;
    bench.model.Value(1, 2) = 6;
    bench.model.Value(2, 2) = 8;
    bench.model.SetOutput(1, "A1+A2");
    bench.model.SetSpecies([](int, int, int) { return std::string("0"); }, [](int) { return std::string(); },
                           [](int, int) { return std::string(); });
    for (int i = 1; i <= 2; ++i) bench.model.AddPoint(i, 1, 0, {1});
    bench.model.WriteFiles();
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    // The load replaced the zero population value by the mean of the individuals' (4); make it
    // tiny again to see what the population simulation takes.
    bench.state->AdjustableTable[1].PV[0] = 1e-140;
    SimulatePopulation(*bench.state, bench.Store());
    const WorkingFloat tiny = 1e-140;
    EXPECT_EQ(bench.Store().PopulationPrediction(1, 1, 1), kTinyPopulationValueUsesIndividual ? 3 + 6 : tiny + 6);
    EXPECT_EQ(bench.Store().PopulationPrediction(2, 1, 1), kTinyPopulationValueUsesIndividual ? 5 + 8 : tiny + 8);
}

TEST(PopulationValues, DefiningFormulasWriteThePopulationOrTheIndividualValue)
{
    EngineBench bench;
    BInitials& init = *bench.model.Init();
    init.NEspeces = 1;
    init.NIndividuals = 1;
    init.NInterrupts = 1;
    init.NAjustables = 2;
    init.NSorties = 1;
    init.NQParametres = 1;
    bench.model.SetParameter(1, 2, FitCodePopulationAndIndividual);
    bench.model.Value(1, 1) = 3;
    bench.model.SetParameter(2, 0, FitCodeFixed);
    bench.model.SetDefinition(2, "A1*Q1");
    bench.model.SetQ(1, 1, 10);
    bench.model.SetOutput(1, "A2");
    bench.model.SetSpecies([](int, int, int) { return std::string("0"); }, [](int) { return std::string(); },
                           [](int, int) { return std::string(); });
    bench.model.AddPoint(1, 1, 0, {1});
    bench.model.AddPoint(1, 1, 1, {1});
    bench.model.WriteFiles();
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, 0);
    bench.state->CurrentIntegrator = &ClockIntegrator;
    bench.state->AdjustableTable[1].PV[0] = 4;
    bench.Simulate();
    EXPECT_EQ(bench.state->AdjustableTable[2].PV[0], 40);
    EXPECT_EQ(bench.state->AdjustableTable[2].PV[1], 30);
    EXPECT_EQ(bench.model.Value(0, 2), 40);
    EXPECT_EQ(bench.model.Value(1, 2), 30);
    EXPECT_EQ(bench.Store().PopulationPrediction(1, 2, 1), 40);
}

}  // namespace
}  // namespace tessuvan::testing
