// The state's tables follow the loaded model, and a side-by-side copy follows the values.
#include <gtest/gtest.h>

#include "engine_bench.h"
#include "library/drivers.h"
#include "library/state_copy.h"
#include "same_engine_state.h"

namespace tessuvan::testing {
namespace {

// Doses at interrupts 1 and 2 of every individual, nothing at the later ones.
void OralModelWithInterrupts(tessuvan_host::HostModel& model, int individuals, int interrupts)
{
    tessuvan_host::OralModel oral;
    oral.individuals = individuals;
    tessuvan_host::BuildOralModel(model, oral);
    model.Init()->NInterrupts = static_cast<int16_t>(interrupts);
    model.SetSpecies(
        [](int s, int, int t) -> std::string {
            if (t == 1) return s == 1 ? "320" : "0";
            return t == 2 && s == 1 ? "F1+160" : "";
        },
        [](int) { return std::string(); }, [](int s, int e) { return tessuvan_host::OralCoefficient(s, e); });
    model.WriteFiles();
}

TEST(StateTables, AModelAtTheCapacitiesLoadsAndALaterSmallerOneShrinksThem)
{
    EngineBench bench;
    OralModelWithInterrupts(bench.model, kMaxIndividuals, kMaxInterrupts);
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, TessuvanOk);
    const PEspece& body = bench.state->SpeciesTable[1];
    EXPECT_EQ(body.Formula.rows(), size_t{kMaxIndividuals} + 1);
    EXPECT_EQ(body.Formula.columns(), size_t{kMaxInterrupts} + 1);
    EXPECT_EQ(body.TextFormula[kMaxIndividuals][2], u"F1+160");
    EXPECT_TRUE(body.TextFormula[kMaxIndividuals][kMaxInterrupts].empty());
    EXPECT_EQ(bench.state->AdjustableTable[3].PV.size(), size_t{kMaxIndividuals} + 2);
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanOk);
    const WorkingFloat last = bench.Store().IndividualPrediction(kMaxIndividuals, 11, 1);
    EXPECT_EQ(last, bench.Store().IndividualPrediction(1, 11, 1));
    bench.Release();

    OralModelWithInterrupts(bench.model, 2, 3);
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, TessuvanOk);
    EXPECT_EQ(bench.state->SpeciesTable.size(), 3u);
    EXPECT_EQ(bench.state->SpeciesTable[2].Formula.cells().size(), size_t{3 * 4});
    EXPECT_EQ(bench.state->PParameterFormulas.cells().size(), size_t{1 * 4});
    EXPECT_EQ(bench.state->IndividualQValues.cells().size(), size_t{1 * 3});
    EXPECT_EQ(bench.state->AdjustableTable[1].PV.size(), 4u);
    bench.Simulate();
    EXPECT_EQ(bench.model.Fit()->Erreur, TessuvanOk);
}

TEST(StateTables, ACopyRefreshedAfterTheValuesChangeSimulatesLikeTheState)
{
    EngineBench bench;
    OralModelWithInterrupts(bench.model, 3, 2);
    bench.Load();
    ASSERT_EQ(bench.model.Fit()->Erreur, TessuvanOk);
    bench.Simulate();
    ASSERT_NE(SideBySideCopy(*bench.state, 0), nullptr);

    // New values, codes and precision after the copy was made, then the refresh.
    bench.state->AdjustableTable[1].PV[2] = 0.9;
    bench.state->AdjustableTable[2].PV[0] = 0.2;
    bench.state->AdjustableTable[3].PA[2] = FitCodeFixed;
    bench.state->fit.Precision = bench.state->fit.Precision / 2;
    LibraryState* copy = SideBySideCopy(*bench.state, 0);
    ASSERT_NE(copy, nullptr);

    std::unique_ptr<ModelStore> onState = bench.Store().SimulationCopy();
    std::unique_ptr<ModelStore> onCopy = bench.Store().SimulationCopy();
    ASSERT_TRUE(onState && onCopy);
    for (int i = 1; i <= 3; ++i) {
        SimulateIndividual(*bench.state, i, *onState);
        SimulateIndividual(*copy, i, *onCopy);
    }
    SimulatePopulation(*bench.state, *onState);
    SimulatePopulation(*copy, *onCopy);
    for (int i = 1; i <= 3; ++i)
        for (int j = 1; j <= onState->PointCount(i); ++j) {
            EXPECT_TRUE(SameBytes(onState->IndividualPrediction(i, j, 1), onCopy->IndividualPrediction(i, j, 1))) << i << " " << j;
            EXPECT_TRUE(SameBytes(onState->PopulationPrediction(i, j, 1), onCopy->PopulationPrediction(i, j, 1))) << i << " " << j;
        }
    EXPECT_TRUE(SameCells(bench.state->variables, copy->variables));
    EXPECT_EQ(bench.state->fit.Erreur, copy->fit.Erreur);
    // The change reached the predictions: individual 2 differs from individual 1.
    EXPECT_FALSE(SameBytes(onState->IndividualPrediction(2, 5, 1), onState->IndividualPrediction(1, 5, 1)));
}

}  // namespace
}  // namespace tessuvan::testing
