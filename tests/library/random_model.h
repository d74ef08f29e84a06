// A random model for the engine tests that compare two ways to the same results.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "../integration/random_equations.h"
#include "engine_bench.h"

namespace tessuvan::testing {

// The size of a random model: individuals, interrupts, and each individual's points (the
// fewest, plus a random count below spread).
struct RandomModelShape {
    int individuals = 3;
    int interrupts = 2;
    int fewestPoints = 4;
    int pointSpread = 5;
};

// A random model: 1 to 4 species, 1 or 2 interrupts, P and Q parameters, parameter
// definitions, formulas of every kind in A and F (a diagonal loss keeps the amounts finite),
// two outputs, a handful of individuals with random point times and observations.
inline void BuildRandomModel(tessuvan_host::HostModel& model, uint32_t seed, const std::string& method,
                             const RandomModelShape& shape = {})
{
    const int n = 1 + static_cast<int>(seed % 4);
    const int individuals = shape.individuals;
    RandomFormulas draw(seed, n);
    BInitials& init = *model.Init();
    init.NEspeces = static_cast<int16_t>(n);
    init.NIndividuals = static_cast<int16_t>(individuals);
    init.NInterrupts = static_cast<int16_t>(shape.interrupts);
    init.NAjustables = 4;
    init.NSorties = 2;
    init.NPParametres = 2;
    init.NQParametres = 1;
    model.Fit()->Precision = 1e-3f;
    model.Fit()->TypeErreurData = 1;
    model.SetMethod(method);
    for (int a = 1; a <= 4; ++a) {
        model.SetParameter(a, static_cast<float>(draw.Uniform(0.2, 1.5)), FitCodePopulationAndIndividual);
        for (int i = 1; i <= individuals; ++i) model.Value(i, a) = static_cast<float>(draw.Uniform(0.2, 1.5));
    }
    if (seed % 3 == 0) model.SetDefinition(4, "A1*0.5+A2");
    for (int t = 1; t <= shape.interrupts; ++t)
        for (int p = 1; p <= 2; ++p) model.SetPText(t, p, tessuvan_host::Number(draw.Uniform(-1, 1)) + "+Q1*" + tessuvan_host::Number(t));
    for (int i = 1; i <= individuals; ++i) model.SetQ(i, 1, static_cast<float>(draw.Uniform(0.5, 2)));
    model.SetOutput(1, "F1+A1*0.1");
    model.SetOutput(2, n >= 2 ? "F2/A3" : "LN(1+F1^2)");
    std::vector<std::string> A(static_cast<size_t>(n * n)), F(static_cast<size_t>(n));
    auto gentle = [](const std::string& text) { return "0.01*LN(1+(" + text + ")^2)"; };
    for (int s = 1; s <= n; ++s) {
        F[static_cast<size_t>(s - 1)] = draw.Pick(2) == 0 ? "" : gentle(draw.Any());
        for (int e = 1; e <= n; ++e) {
            std::string& entry = A[static_cast<size_t>((s - 1) * n + e - 1)];
            if (s == e)
                entry = "-A" + std::to_string(1 + draw.Pick(4)) + "-" + gentle(draw.Fixed());
            else if (draw.Pick(2) == 0)
                entry = gentle(draw.Pick(2) == 0 ? draw.Fixed() : draw.Any());
        }
    }
    model.SetSpecies(
        [&](int s, int i, int t) -> std::string {
            if (t == 1) return tessuvan_host::Number(s * 2 + i);
            return s == 1 ? "F1+P1^2" : "";
        },
        [&](int s) { return F[static_cast<size_t>(s - 1)]; },
        [&](int s, int e) { return A[static_cast<size_t>((s - 1) * n + e - 1)]; });
    model.data.clear();
    for (int i = 1; i <= individuals; ++i) {
        double t = 0;
        const int points = shape.fewestPoints + draw.Pick(shape.pointSpread);
        for (int k = 0; k < points; ++k) {
            // Interrupts in equal runs of points; with two, the first half and the rest.
            const int interrupt = std::min(shape.interrupts, 1 + k / std::max(1, points / shape.interrupts));
            model.AddPoint(i, interrupt, static_cast<float>(t),
                           {static_cast<float>(draw.Uniform(0.1, 3)), static_cast<float>(draw.Uniform(0.1, 3))});
            t += draw.Pick(6) == 0 ? 0 : draw.Uniform(0.05, 2);  // now and then two points at one time
        }
    }
    model.WriteFiles();
}

}  // namespace tessuvan::testing
