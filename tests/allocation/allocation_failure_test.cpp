// Every allocation of a run (load, simulation, a population and an individual fit step)
// failing in turn: the engine reports a code (out of memory, or a formula error for a record it
// could not allocate) or, where an optional fast path could not be built, gives the clean
// run's results by the plain path; it keeps nothing it cannot release (the sanitizer build checks for leaks),
// and the same state runs the model once memory is back. This binary replaces the global
// allocation functions, so it is kept apart from the other engine tests.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "library/engine_bench.h"

namespace {
// Allocations left before the one that fails; negative: none fails.
long allocationsBeforeFailure = -1;
bool FailNow()
{
    if (allocationsBeforeFailure < 0) return false;
    return allocationsBeforeFailure-- == 0;
}
void* Allocate(std::size_t bytes)
{
    return std::malloc(bytes == 0 ? 1 : bytes);
}
}  // namespace

// These are the program's allocation functions, so memory from operator new is the malloc
// memory that operator delete frees; the compiler cannot tell once they are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t bytes)
{
    void* p = FailNow() ? nullptr : Allocate(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t bytes) { return operator new(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return FailNow() ? nullptr : Allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return FailNow() ? nullptr : Allocate(bytes); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tessuvan::testing {
namespace {

// As the exports do: an exception that escapes the engine becomes a code.
template <typename Call>
void Guarded(BFitSet& fit, Call&& call)
{
    try {
        call();
    } catch (const std::bad_alloc&) {
        AddCode(fit.Erreur, TessuvanOutOfMemory);
    } catch (...) {
        AddCode(fit.Erreur, TessuvanContractError);
    }
}

TEST(AllocationFailure, EveryAllocationOfARunMayFail)
{
    EngineBench bench;
    tessuvan_host::OralModel oral;
    oral.individuals = 2;
    tessuvan_host::BuildOralModel(bench.model, oral);
    bench.model.SetOutput(2, "EX(-A2*T)*(F1+2.5)/LN(A3)");  // nested records and constants
    BFitSet& fit = *bench.model.Fit();

    // One run, every call guarded; the fit steps only where a clean run takes them without a
    // code (they refuse with the contract code while the fits are not built).
    // The fits write their values back into the host's table: every run starts from the same.
    const ParameterTable startingTable = *bench.model.Table();
    bool withFits = true;
    auto run = [&](long failAt) {
        *bench.model.Table() = startingTable;
        bench.model.WriteFiles();
        fit.Erreur = 0;
        allocationsBeforeFailure = failAt;
        Guarded(fit, [&] { bench.Load(); });
        if (fit.Erreur == 0) Guarded(fit, [&] { bench.Simulate(); });
        if (fit.Erreur == 0 && withFits)
            Guarded(fit, [&] { AjustementPop(*bench.state, bench.model.Init(), &fit, nullptr, bench.model.Table()); });
        int16_t individual = 2;
        if (fit.Erreur == 0 && withFits)
            Guarded(fit, [&] { AjustementInd(*bench.state, &individual, bench.model.Init(), &fit, nullptr, bench.model.Table()); });
    };
    run(-1);
    withFits = fit.Erreur == 0;
    run(-1);
    ASSERT_EQ(fit.Erreur, TessuvanOk);
    const std::vector<char> cleanResults = tessuvan_host::ReadBytes(bench.model.dataFile);
    bench.Release();

    int failures = 0;
    for (long n = 0;; ++n) {
        run(n);
        const bool failed = allocationsBeforeFailure < 0;
        allocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_EQ(fit.Erreur, TessuvanOk) << n;
            bench.Release();
            break;
        }
        ++failures;
        // Either a code, or a fast path that could not be built gave way to the plain path
        // and the run's results are those of a clean run to the last bit.
        if (fit.Erreur == TessuvanOk) {
            EXPECT_EQ(tessuvan_host::ReadBytes(bench.model.dataFile), cleanResults) << "allocation " << n;
        }
        fit.Erreur = 0;
        bench.Release();

        // The same state, memory back: a complete run.
        bench.model.WriteFiles();
        fit.Erreur = 0;
        bench.Load();
        ASSERT_EQ(fit.Erreur, TessuvanOk) << n;
        bench.Simulate();
        ASSERT_EQ(fit.Erreur, TessuvanOk) << n;
        bench.Release();
    }
    EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace tessuvan::testing
