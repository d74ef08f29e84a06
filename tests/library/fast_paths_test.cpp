// With fast paths on (the default) a simulation writes the same result file, byte for byte,
// and the same objective sums as with them off, on random models and on the theophylline
// example, for every method.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine_bench.h"
#include "random_model.h"
#include "theophylline_model.h"
#include "same_engine_state.h"

namespace tessuvan::testing {
namespace {

using tessuvan_host::HostModel;
using tessuvan_host::Number;

const char* const kMethods[] = {"RUNGE-KUTTA 4", "CHU-BERMAN", "RUNGE-KUTTA 5", "RUNGE-KUTTA QC"};

// The first engine on the plain path, the second on the fast one.
struct PlainAndFast : TwoEngines {
    EngineBench& plain = first;
    EngineBench& fast = second;
    PlainAndFast() { plain.state->fastPaths = false; }

    void ExpectSameResults(const std::string& what)
    {
        ASSERT_EQ(plain.model.Fit()->Erreur, fast.model.Fit()->Erreur) << what;
        EXPECT_EQ(tessuvan_host::ReadBytes(plain.model.dataFile), tessuvan_host::ReadBytes(fast.model.dataFile)) << what;
        EXPECT_EQ(std::memcmp(plain.model.Fit()->ErreurCalc, fast.model.Fit()->ErreurCalc,
                              sizeof plain.model.Fit()->ErreurCalc),
                  0)
            << what;
        EXPECT_EQ(std::memcmp(plain.model.Table()->Values, fast.model.Table()->Values, sizeof plain.model.Table()->Values), 0)
            << what;
        // The file holds 32-bit floats; the store keeps the working values, where a difference
        // in the last bit would still show.
        ModelStore& a = plain.Store();
        ModelStore& b = fast.Store();
        const BInitials& counts = *plain.model.Init();
        size_t differing = 0;
        for (int i = 1; i <= counts.NIndividuals; ++i)
            for (int j = 1; j <= a.PointCount(i); ++j)
                for (int k = 1; k <= counts.NSorties; ++k) {
                    differing += std::memcmp(&a.PopulationPrediction(i, j, k), &b.PopulationPrediction(i, j, k),
                                             sizeof(WorkingFloat)) != 0;
                    differing += std::memcmp(&a.IndividualPrediction(i, j, k), &b.IndividualPrediction(i, j, k),
                                             sizeof(WorkingFloat)) != 0;
                }
        EXPECT_EQ(differing, 0u) << what;
    }
};

TEST(FastPathsAgainstPlain, RandomModelsWriteTheSameResultFilesAndSumsWithEveryMethod)
{
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        for (const char* method : kMethods) {
            PlainAndFast run;
            run.Load([&](HostModel& model) { BuildRandomModel(model, seed, method); });
            const std::string what = std::string(method) + " seed " + std::to_string(seed);
            ASSERT_EQ(run.plain.model.Fit()->Erreur, 0) << what;
            ASSERT_EQ(run.fast.model.Fit()->Erreur, 0) << what;
            run.plain.Simulate();
            run.fast.Simulate();
            run.ExpectSameResults(what);
        }
    }
}

TEST(FastPathsAgainstPlain, TheTheophyllineExampleWritesTheSameResultFileWithEveryMethod)
{
    const char* data = std::getenv("TESSUVAN_DATA");
    const std::string csv = std::string(data != nullptr ? data : "") + "/theoph.csv";
    if (data == nullptr || !std::ifstream(csv)) GTEST_SKIP() << "no example data at " << csv;
    for (const char* method : kMethods) {
        PlainAndFast run;
        run.Load([&](HostModel& model) { BuildTheophylline(model, method, csv); });
        ASSERT_EQ(run.plain.model.Fit()->Erreur, 0) << method;
        run.plain.Simulate();
        run.fast.Simulate();
        run.ExpectSameResults(method);
    }
}

// The fits with fast paths replay the walks whose inputs have not changed; every call leaves
// the same results and state as the plain path, for random models (whose walks start afresh),
// for models whose walks carry values (where nothing is replayed) and for the example.
TEST(FastPathsAgainstPlain, FitsGiveTheSameBitsAfterEveryCall)
{
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        for (const char* method : {"RUNGE-KUTTA 4", "CHU-BERMAN", "RUNGE-KUTTA QC"}) {
            PlainAndFast run;
            run.Load([&](HostModel& model) { BuildRandomModel(model, seed, method); });
            ASSERT_EQ(run.second.model.Fit()->Erreur, 0);
            FitAndCompare(run, std::string(method) + " seed " + std::to_string(seed));
            EXPECT_EQ(run.first.state->walkReuse.replayed, 0);
            EXPECT_GT(run.second.state->walkReuse.replayed, 0) << "nothing was replayed";
        }
    }
    PlainAndFast carrying;
    carrying.Load([&](HostModel& model) {
        BuildRandomModel(model, 5, "CHU-BERMAN");
        model.SetPText(1, 1, "0.5+P2");  // reads what the walk before left
        model.WriteFiles();
    });
    FitAndCompare(carrying, "a model whose walks carry values");
    EXPECT_EQ(carrying.second.state->walkReuse.replayed, 0);
}

TEST(FastPathsAgainstPlain, TheTheophyllineExampleFitsToTheSameBits)
{
    const char* data = std::getenv("TESSUVAN_DATA");
    const std::string csv = std::string(data != nullptr ? data : "") + "/theoph.csv";
    if (data == nullptr || !std::ifstream(csv)) GTEST_SKIP() << "no example data at " << csv;
    PlainAndFast example;
    example.Load([&](HostModel& model) { BuildTheophylline(model, "CHU-BERMAN", csv); });
    FitAndCompare(example, "the theophylline example");
    EXPECT_GT(example.second.state->walkReuse.replayed, 0);
}

}  // namespace
}  // namespace tessuvan::testing
