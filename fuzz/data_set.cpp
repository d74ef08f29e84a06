// Fuzz target: the data set as the tessuvan command reads it, and its translation into the
// engine's points, interrupts and start formulas for a fixed model (two compartments, an
// estimated bioavailability and lag, infusions with the rate or the duration from the model, a
// covariate that may change). The input is the text of a CSV file.
//
// A data set that cannot be used must be refused with a DataError (the message names the
// place); any other exception, a crash or undefined behaviour is a finding. What is accepted
// must hold together: points in increasing time within each individual, interrupts that never
// go back and stay within the engine's capacity (MaxInterrupts), at most MaxPoints points, and
// one start formula per species at every interrupt.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "engine/engine_limits.h"
#include "model/model_file.h"
#include "tessuvan/tessuvan.h"

namespace {

using namespace tessuvan::cli;

[[noreturn]] void Finding(const std::string& what)
{
    std::fprintf(stderr, "data set invariant broken: %s\n", what.c_str());
    std::abort();
}

const Model& FixedModel()
{
    static const Model model = ParseModel(R"toml([model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - CL/V*central"]
[parameters]
ka = { value = 1.5 }
CL = { value = 0.04, estimate = "population" }
V = { formula = "0.5*(wt/70)" }
f = { value = 0.9, estimate = "fixed" }
tlag = { value = 0.25, estimate = "fixed" }
R0 = { value = 10, estimate = "fixed" }
D0 = { value = 2, estimate = "fixed" }
[covariates]
wt = "WT"
[outputs]
conc = { formula = "central/V", cmt = 2 }
[dosing]
bioavailability = { gut = "f" }
lag = { gut = "tlag" }
rate = { central = "R0" }
duration = { central = "D0" }
)toml",
                                          "fixed.toml");
    return model;
}

void CheckProblem(const EngineProblem& problem)
{
    for (const EngineIndividual& individual : problem.individuals) {
        if (individual.points.empty() || individual.points.size() > std::size_t(MaxPoints))
            Finding("points of individual " + individual.id);
        if (individual.startFormulas.empty() || individual.startFormulas.size() > std::size_t(MaxInterrupts))
            Finding("interrupts of individual " + individual.id);
        for (const std::vector<std::string>& formulas : individual.startFormulas)
            if (int(formulas.size()) != problem.speciesCount) Finding("start formulas of individual " + individual.id);
        for (std::size_t j = 0; j < individual.points.size(); ++j) {
            const EnginePoint& point = individual.points[j];
            if (point.interrupt < 1 || point.interrupt > int(individual.startFormulas.size()))
                Finding("interrupt number of individual " + individual.id);
            if (point.observed.size() != problem.outputTexts.size()) Finding("observed values of " + individual.id);
            if (j == 0) continue;
            const EnginePoint& before = individual.points[j - 1];
            if (!(point.time > before.time)) Finding("times out of order in individual " + individual.id);
            if (point.interrupt < before.interrupt) Finding("interrupts going back in individual " + individual.id);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const DataSet set = ParseDataSet(text, "fuzz.csv", {"WT"});
        const EngineProblem problem = BuildEngineProblem(FixedModel(), set);
        CheckProblem(problem);
        CheckEngineLimits(FixedModel(), problem, set);
    } catch (const DataError&) {
    } catch (const ModelError&) {
    } catch (const std::exception& error) {
        Finding(std::string("something other than a DataError: ") + error.what());
    }
    return 0;
}
