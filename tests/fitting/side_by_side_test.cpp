// Simulations side by side in threads (the walks of a simulation, the finite differences of the
// fits): the same predictions, derivatives, values, standard errors, files and formula cells
// as the sequential order, to the last bit, after every call; models whose walks carry values
// from one to the next are recognised and keep the sequential order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "fitting/parallel_differences.h"
#include "library/engine_bench.h"
#include "library/random_model.h"
#include "library/theophylline_model.h"
#include "library/same_engine_state.h"
#include "library/side_by_side_groups.h"
#include "library/walk_independence.h"

namespace tessuvan::testing {
namespace {

using tessuvan_host::HostModel;

// Two engines on the same model: the first runs everything in order, the second in groups.
struct SequentialAndGrouped : TwoEngines {
    explicit SequentialAndGrouped(int groups)
    {
        first.state->threadGroups = 1;
        second.state->threadGroups = groups;
    }
};

TEST(SideBySide, RandomModelsFitToTheSameBitsInGroupsAsInOrder)
{
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (const char* method : {"RUNGE-KUTTA 4", "CHU-BERMAN"}) {
            // Three groups for four parameters: threads run whatever the machine has.
            SequentialAndGrouped run(3);
            run.Load([&](HostModel& model) { BuildRandomModel(model, seed, method); });
            const std::string what = std::string(method) + " seed " + std::to_string(seed);
            ASSERT_EQ(run.second.model.Fit()->Erreur, 0) << what;
            ASSERT_TRUE(WalksStartAfresh(*run.second.state, run.second.Store())) << what;
            EXPECT_EQ(SideBySideGroups(*run.second.state, 4), 3);
            FitAndCompare(run, what);
        }
    }
}

// The random model of seed 3 (a definition, P parameters, two interrupts), changed in one way
// that makes a walk read what the walk before it left.
struct Carrying {
    const char* what;
    void (*change)(HostModel& model);
};

const Carrying kCarrying[] = {
    {"a P parameter without a formula at the first interrupt",
     [](HostModel& model) { model.SetPText(1, 2, ""); }},
    {"a P formula reading a later P parameter", [](HostModel& model) { model.SetPText(1, 1, "0.5+P2"); }},
    {"a P formula reading an amount", [](HostModel& model) { model.SetPText(1, 2, "0.5+F1"); }},
    {"a definition reading a P parameter", [](HostModel& model) { model.SetDefinition(4, "A1*0.5+P1"); }},
    {"a definition reading an amount", [](HostModel& model) { model.SetDefinition(4, "A1*0.5+F1"); }},
};

TEST(SideBySide, ModelsWhoseWalksCarryValuesKeepTheSequentialOrder)
{
    for (const Carrying& carrying : kCarrying) {
        SequentialAndGrouped run(3);
        run.Load([&](HostModel& model) {
            BuildRandomModel(model, 3, "RUNGE-KUTTA 4");
            carrying.change(model);
            model.WriteFiles();
        });
        ASSERT_EQ(run.second.model.Fit()->Erreur, 0) << carrying.what;
        EXPECT_FALSE(WalksStartAfresh(*run.second.state, run.second.Store())) << carrying.what;
        FitAndCompare(run, carrying.what);
    }

    // A defined parameter fitted for the individuals: every walk rewrites its value, so each
    // difference would start from what the one before left (here A4 follows A3's step).
    {
        SequentialAndGrouped run(3);
        run.Load([&](HostModel& model) {
            BuildRandomModel(model, 3, "RUNGE-KUTTA 4");
            model.SetDefinition(2, "A3+A4");
            model.SetDefinition(4, "A1*0.5+A3");
            model.WriteFiles();
        });
        ASSERT_EQ(run.second.model.Fit()->Erreur, 0);
        FitAndCompare(run, "a fitted parameter with a definition");
    }

    // Species: an amount set from another species' amount, and one left to carry over.
    for (const bool absent : {false, true}) {
        SequentialAndGrouped run(2);
        run.Load([&](HostModel& model) {
            BuildRandomModel(model, 2, "CHU-BERMAN");  // two species
            model.SetSpecies(
                [&](int s, int i, int t) -> std::string {
                    if (t != 1) return s == 1 ? "F1+P1^2" : "";
                    if (s == 1) return absent && i == 2 ? "" : "F2+1";
                    return tessuvan_host::Number(s + i);
                },
                [](int) { return std::string(); },
                [](int s, int e) -> std::string { return s == e ? "-A" + std::to_string(s) : ""; });
            model.WriteFiles();
        });
        ASSERT_EQ(run.second.model.Fit()->Erreur, 0);
        EXPECT_FALSE(WalksStartAfresh(*run.second.state, run.second.Store()));
        FitAndCompare(run, absent ? "a species without an amount" : "an amount from a later species");
    }
}

// The example with its twelve subjects, walks and differences in two groups and in more groups
// than there are walks to run in an individual step.
TEST(SideBySide, TheTheophyllineExampleFitsToTheSameBitsInGroups)
{
    const char* data = std::getenv("TESSUVAN_DATA");
    const std::string csv = std::string(data != nullptr ? data : "") + "/theoph.csv";
    if (data == nullptr || !std::ifstream(csv)) GTEST_SKIP() << "no example data at " << csv;
    for (const int groups : {2, 8}) {
        SequentialAndGrouped run(groups);
        run.Load([&](HostModel& model) { BuildTheophylline(model, "RUNGE-KUTTA 4", csv); });
        ASSERT_EQ(run.second.model.Fit()->Erreur, 0);
        FitAndCompare(run, std::to_string(groups) + " groups");
    }
}

}  // namespace
}  // namespace tessuvan::testing
