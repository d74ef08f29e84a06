#include "library/state_copy.h"

#include <cstddef>
#include <new>

#include "formula/formula_copy.h"

namespace tessuvan {

namespace {

// Copies every slot of a formula array onto copy's cells; false when memory ran out (the
// slots copied so far stay with copy, which frees them).
template <class Slots>
bool CopySlots(const Slots& from, Slots& to, const FormulaVariables& variablesFrom, FormulaVariables& variablesTo)
{
    for (size_t n = 0; n < std::size(from); ++n) {
        if (from[n] == nullptr) continue;
        to[n] = CopyFormulaFor(from[n], variablesFrom, variablesTo);
        if (to[n] == nullptr) return false;
    }
    return true;
}

}  // namespace

void RefreshCopy(LibraryState& copy, const LibraryState& state)
{
    copy.values() = state.values();
    copy.options() = state.options();
}

std::unique_ptr<LibraryState> CopyForSimulation(LibraryState& state)
{
    std::unique_ptr<LibraryState> copy(new (std::nothrow) LibraryState());
    if (copy == nullptr) return nullptr;
    try {
        copy->ShapeTables(state.loadedCounts);
        RefreshCopy(*copy, state);
        copy->loadedCounts = state.loadedCounts;
        copy->modelAllocated = true;  // from here on its destructor frees what was copied

        const FormulaVariables& from = state.variables;
        FormulaVariables& to = copy->variables;
        bool complete = true;
        for (size_t a = 0; a < state.AdjustableDefinitions.size(); ++a) {
            const compil* definition = state.AdjustableDefinitions[a].PE;
            if (definition == nullptr) continue;
            copy->AdjustableDefinitions[a].PE = CopyFormulaFor(definition, from, to);
            complete = complete && copy->AdjustableDefinitions[a].PE != nullptr;
        }
        for (size_t s = 0; s < state.SpeciesTable.size() && complete; ++s)
            complete = CopySlots(state.SpeciesTable[s].Formula.cells(), copy->SpeciesTable[s].Formula.cells(), from, to);
        complete = complete && CopySlots(state.PParameterFormulas.cells(), copy->PParameterFormulas.cells(), from, to);
        for (size_t s = 0; s < std::size(state.EquationSet.AM) && complete; ++s)
            complete = CopySlots(state.EquationSet.AM[s], copy->EquationSet.AM[s], from, to);
        complete = complete && CopySlots(state.EquationSet.FM, copy->EquationSet.FM, from, to) &&
                   CopySlots(state.OutputFormulas, copy->OutputFormulas, from, to);
        if (!complete) return nullptr;

        // The plan, as the first simulation on the copy would build it; without one (out of
        // memory) the copy would allocate while simulating, so it is given up.
        if (copy->fastPaths && copy->Equations().plan == nullptr) return nullptr;
        copy->modelReady = true;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return copy;
}

LibraryState* SideBySideCopy(LibraryState& state, int n)
{
    if (n < 0 || n >= kMostSideBySideGroups) return nullptr;
    auto& copy = state.simulationCopies[static_cast<size_t>(n)];
    if (copy == nullptr) {
        copy = CopyForSimulation(state);
        return copy.get();
    }
    RefreshCopy(*copy, state);
    // Its plan, in this thread, if fast paths came on since it was made.
    if (copy->fastPaths) copy->Equations();
    return copy.get();
}

}  // namespace tessuvan
