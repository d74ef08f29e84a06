// The library as a host sees it: only the public header, the shared library and its exports.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "tessuvan/tessuvan.h"

namespace {

TEST(Exports, TheFiveEntryPointsResolveByTheirUndecoratedNames)
{
    void* library = dlopen(TESSUVAN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"Calcul_initial", "Simulation", "Ajustement_pop", "Ajustement_ind", "Fin"})
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    EXPECT_EQ(dlsym(library, "_ZN8tessuvan15EvaluateFormulaEPKNS_6compilE"), nullptr);
    dlclose(library);
}

}  // namespace
