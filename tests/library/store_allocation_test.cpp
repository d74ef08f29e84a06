// A model store that cannot be allocated, injected through the state's byte limit: the load
// reports the out-of-memory code and keeps nothing, and the same state loads and simulates
// the same model as soon as the memory is there.
#include <gtest/gtest.h>

#include "library/engine_bench.h"

namespace tessuvan::testing {
namespace {

TEST(StoreAllocationFailure, IsReportedAtEveryLimitBelowTheStoreAndTheSameStateRecovers)
{
    EngineBench bench;
    tessuvan_host::OralModel oral;
    oral.individuals = 3;
    tessuvan_host::BuildOralModel(bench.model, oral);
    BFitSet& fit = *bench.model.Fit();

    bench.Load();
    ASSERT_EQ(fit.Erreur, TessuvanOk);
    const size_t storeBytes = bench.Store().AllocatedBytes();
    ASSERT_GT(storeBytes, 0u);
    bench.Release();

    for (size_t limit : {size_t{0}, size_t{16}, storeBytes / 2, storeBytes - 1}) {
        SCOPED_TRACE(limit);
        bench.model.WriteFiles();
        bench.state->storeByteLimit = limit;
        fit.Erreur = 0;
        bench.Load();
        EXPECT_EQ(fit.Erreur, TessuvanOutOfMemory);
        EXPECT_EQ(bench.state->store, nullptr);
        EXPECT_FALSE(bench.state->modelReady);
        fit.Erreur = 0;
        bench.Simulate();
        EXPECT_EQ(fit.Erreur, TessuvanContractError);
        fit.Erreur = 0;
        bench.Release();
        EXPECT_EQ(fit.Erreur, TessuvanOk);
        EXPECT_FALSE(bench.model.DataFileExists());
        EXPECT_FALSE(bench.model.SpeciesFileExists());
    }

    // Exactly the store's size is enough.
    bench.model.WriteFiles();
    bench.state->storeByteLimit = storeBytes;
    fit.Erreur = 0;
    bench.Load();
    ASSERT_EQ(fit.Erreur, TessuvanOk);
    bench.Simulate();
    EXPECT_EQ(fit.Erreur, TessuvanOk);
    EXPECT_EQ(bench.model.ReadResults().size(), 3 * oral.times.size());
    bench.Release();
    EXPECT_EQ(fit.Erreur, TessuvanOk);
}

}  // namespace
}  // namespace tessuvan::testing
