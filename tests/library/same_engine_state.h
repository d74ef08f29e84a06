// Whether two engines that ran the same calls on the same model by different paths (fast or
// plain, threads or none) hold the same results and state to the last bit.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine_bench.h"
#include "integration/right_hand_side_plan.h"

namespace tessuvan::testing {

// Host-side records: floats and integers without padding, compared byte for byte.
template <class T>
bool SameBytes(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Working values by their meaningful bits (the x87 extended type has padding bytes that a
// store leaves as they were).
inline bool SameBytes(WorkingFloat a, WorkingFloat b) { return SameBits(a, b); }
template <size_t N>
bool SameBytes(const WorkingFloat (&a)[N], const WorkingFloat (&b)[N])
{
    for (size_t n = 0; n < N; ++n)
        if (!SameBits(a[n], b[n])) return false;
    return true;
}
inline bool SameBytes(const std::vector<WorkingFloat>& a, const std::vector<WorkingFloat>& b)
{
    if (a.size() != b.size()) return false;
    for (size_t n = 0; n < a.size(); ++n)
        if (!SameBits(a[n], b[n])) return false;
    return true;
}
inline bool SameBytes(const AmountVector& a, const AmountVector& b)
{
    for (size_t n = 0; n < a.size(); ++n)
        if (!SameBits(a[n], b[n])) return false;
    return true;
}
// Every formula cell but the scratch that powers and functions pass their value through: it is
// written before it is read, and the fast path evaluates fixed entries less often.
inline bool SameCells(const FormulaVariables& a, const FormulaVariables& b)
{
    return SameBytes(a.AdjustableValues, b.AdjustableValues) && SameBytes(a.PParameters, b.PParameters) &&
           SameBytes(a.QParameters, b.QParameters) && SameBytes(a.SpeciesAmounts, b.SpeciesAmounts) &&
           SameBits(a.CurrentTime, b.CurrentTime);
}

// What goes back to the host (codes, sums, values, standard errors, the result file), the
// state left behind (every formula cell and value) and the store's predictions, previous
// predictions and derivatives in the working precision.
inline void ExpectSameEngineState(EngineBench& first, EngineBench& second, const std::string& what)
{
    tessuvan_host::HostModel& a = first.model;
    tessuvan_host::HostModel& b = second.model;
    ASSERT_EQ(a.Fit()->Erreur, b.Fit()->Erreur) << what;
    EXPECT_EQ(a.Fit()->Done, b.Fit()->Done) << what;
    EXPECT_TRUE(SameBytes(a.Fit()->ErreurCalc, b.Fit()->ErreurCalc)) << what;
    EXPECT_TRUE(SameBytes(a.Table()->Values, b.Table()->Values)) << what;
    EXPECT_TRUE(SameBytes(a.Table()->StandardErrors, b.Table()->StandardErrors)) << what;
    EXPECT_EQ(tessuvan_host::ReadBytes(a.dataFile), tessuvan_host::ReadBytes(b.dataFile)) << what;
    EXPECT_TRUE(SameCells(first.state->variables, second.state->variables)) << what;
    EXPECT_EQ(first.state->fit.Erreur, second.state->fit.Erreur) << what;
    const BInitials& counts = *a.Init();
    for (int p = 1; p <= counts.NAjustables; ++p) {
        EXPECT_TRUE(SameBytes(first.state->AdjustableTable[p].PV, second.state->AdjustableTable[p].PV))
            << what << " parameter " << p;
        EXPECT_TRUE(SameBytes(first.state->AdjustableTable[p].dP, second.state->AdjustableTable[p].dP))
            << what << " parameter " << p;
    }
    ModelStore& x = first.Store();
    ModelStore& y = second.Store();
    size_t differing = 0;
    for (int i = 1; i <= counts.NIndividuals; ++i)
        for (int j = 1; j <= x.PointCount(i); ++j)
            for (int k = 1; k <= counts.NSorties; ++k) {
                differing += !SameBytes(x.PopulationPrediction(i, j, k), y.PopulationPrediction(i, j, k));
                differing += !SameBytes(x.IndividualPrediction(i, j, k), y.IndividualPrediction(i, j, k));
                differing += !SameBytes(x.PreviousPopulationPrediction(i, j, k), y.PreviousPopulationPrediction(i, j, k));
                differing += !SameBytes(x.PreviousIndividualPrediction(i, j, k), y.PreviousIndividualPrediction(i, j, k));
                differing += !SameBytes(x.Weight(i, j, k), y.Weight(i, j, k));
                for (int p = 1; p <= counts.NAjustables; ++p) {
                    differing += !SameBytes(x.PopulationSensitivity(i, j, k, p), y.PopulationSensitivity(i, j, k, p));
                    differing += !SameBytes(x.IndividualSensitivity(i, j, k, p), y.IndividualSensitivity(i, j, k, p));
                }
            }
    EXPECT_EQ(differing, 0u) << what;
}

// Two engines given the same model and the same calls.
struct TwoEngines {
    EngineBench first, second;

    template <class Build>
    void Load(Build build)
    {
        build(first.model);
        build(second.model);
        first.Load();
        second.Load();
    }

    template <class Call>
    void Both(Call call)
    {
        call(first);
        call(second);
    }

    void ExpectSame(const std::string& what) { ExpectSameEngineState(first, second, what); }
};

// A fit as a host runs one, compared after every call: a simulation, two population
// iterations, an individual step for every individual, another round for the first and a
// population iteration after them, then a simulation and one more individual step.
inline void FitAndCompare(TwoEngines& run, const std::string& what)
{
    const auto population = [](EngineBench& bench) {
        AjustementPop(*bench.state, bench.model.Init(), bench.model.Fit(), nullptr, bench.model.Table());
    };
    const auto individual = [](int16_t i) {
        return [i](EngineBench& bench) {
            int16_t number = i;
            AjustementInd(*bench.state, &number, bench.model.Init(), bench.model.Fit(), nullptr, bench.model.Table());
        };
    };
    const auto simulation = [](EngineBench& bench) { bench.Simulate(); };
    const int16_t individuals = run.first.model.Init()->NIndividuals;

    run.Both(simulation);
    run.ExpectSame(what + ", simulation");
    for (int iteration = 1; iteration <= 2; ++iteration) {
        run.Both(population);
        run.ExpectSame(what + ", population iteration " + std::to_string(iteration));
    }
    for (int16_t i = 1; i <= individuals; ++i) {
        run.Both(individual(i));
        run.ExpectSame(what + ", individual " + std::to_string(i));
    }
    run.Both(individual(1));
    run.ExpectSame(what + ", individual 1 again");
    run.Both(population);
    run.ExpectSame(what + ", population after the individuals");
    run.Both(simulation);
    run.Both(individual(individuals));
    run.ExpectSame(what + ", simulation and a last individual step");
}

}  // namespace tessuvan::testing
