// Engine-level fit runs on models whose outcome can be worked out by hand: the output formula
// reads the parameters (and the time) directly, so no integration is needed and the clock
// integrator of the library tests stands in for a method.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "library/engine_bench.h"

namespace tessuvan::testing {

struct FitBench : EngineBench {
    // One species that is never changed, one interrupt and one output; every individual has
    // points at the given (time, observation) pairs. Parameters are the test's to set.
    void BuildDirectModel(const std::string& output, int individuals, int adjustables,
                          const std::vector<std::pair<float, float>>& points)
    {
        BInitials& init = *model.Init();
        init.NEspeces = 1;
        init.NIndividuals = static_cast<int16_t>(individuals);
        init.NInterrupts = 1;
        init.NAjustables = static_cast<int16_t>(adjustables);
        init.NSorties = 1;
        model.SetOutput(1, output);
        model.SetMethod("RUNGE-KUTTA 4");
        model.data.clear();
        for (int i = 1; i <= individuals; ++i)
            for (const auto& [time, observed] : points) model.AddPoint(i, 1, time, {observed});
        model.SetSpecies([](int, int, int) { return std::string("0"); }, [](int) { return std::string(); },
                         [](int, int) { return std::string(); });
        model.WriteFiles();
    }

    // Loads, installs the clock integrator and simulates once, as a host does before fitting.
    void LoadAndSimulate()
    {
        Load();
        ASSERT_EQ(model.Fit()->Erreur, 0);
        state->CurrentIntegrator = &ClockIntegrator;
        Simulate();
        ASSERT_EQ(model.Fit()->Erreur, 0);
    }

    void FitPopulation() { AjustementPop(*state, model.Init(), model.Fit(), nullptr, model.Table()); }
    void FitIndividual(int16_t i) { AjustementInd(*state, &i, model.Init(), model.Fit(), nullptr, model.Table()); }
    PAjustable& Parameter(int p) { return state->AdjustableTable[p]; }
};

}  // namespace tessuvan::testing
