#include "library/state_copy.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "common/side_by_side.h"
#include "formula/formula_copy.h"

namespace tessuvan {

namespace {

// Whether f reads any of cells[from .. to] (1-based cells; an empty range reads none).
bool ReadsCells(const compil* f, const WorkingFloat* cells, int from, int to)
{
    return from <= to && ReadsAnyCell(f, &cells[from], static_cast<std::size_t>(to - from + 1));
}

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

bool WalksStartAfresh(const LibraryState& state, const ModelStore& store)
{
    const BInitials& counts = state.init.record;
    const FormulaVariables& v = state.variables;
    const int species = counts.NEspeces;
    const int pParameters = counts.NPParametres;
    if (counts.NInterrupts < 1) return false;

    for (int i = 1; i <= counts.NIndividuals; ++i)
        if (i > store.shape().individuals || store.PointCount(i) < 1) return false;

    for (int p = 1; p <= pParameters; ++p) {
        const compil* f = state.PParameterFormulas[p][1];
        if (!FormulaPresent(f)) return false;
        if (ReadsCells(f, v.PParameters, p, pParameters) || ReadsCells(f, v.SpeciesAmounts.data(), 1, species))
            return false;
    }
    for (int s = 1; s <= species; ++s)
        for (int i = 1; i <= counts.NIndividuals; ++i) {
            const compil* f = state.SpeciesTable[s].Formula[i][1];
            if (!FormulaPresent(f) || ReadsCells(f, v.SpeciesAmounts.data(), s, species)) return false;
        }
    for (int a = 1; a <= counts.NAjustables; ++a) {
        const compil* f = state.AdjustableTable[a].PE;
        if (!FormulaPresent(f)) continue;
        if (ReadsCells(f, v.PParameters, 1, pParameters) || ReadsCells(f, v.SpeciesAmounts.data(), 1, species))
            return false;
        for (int later = a + 1; later <= counts.NAjustables; ++later)
            if (FormulaPresent(state.AdjustableTable[later].PE) && ReadsCells(f, v.AdjustableValues, later, later))
                return false;
    }
    return true;
}

void RefreshCopy(LibraryState& copy, const LibraryState& state)
{
    copy.variables = state.variables;
    copy.init.record = state.init.record;
    copy.fit = state.fit;
    copy.CurrentIntegrator = state.CurrentIntegrator;
    copy.fastPaths = state.fastPaths;
    copy.AdjustedCount = state.AdjustedCount;
    copy.FittedValueCount = state.FittedValueCount;
    copy.PopulationFitFlag = state.PopulationFitFlag;
    copy.loadedCounts = state.loadedCounts;
    std::copy(&state.IndividualQValues[0][0],
              &state.IndividualQValues[0][0] + std::size(state.IndividualQValues) * std::size(state.IndividualQValues[0]),
              &copy.IndividualQValues[0][0]);
    for (size_t a = 0; a < state.AdjustableTable.size(); ++a) {
        const PAjustable& parameter = state.AdjustableTable[a];
        PAjustable& target = copy.AdjustableTable[a];
        std::copy(std::begin(parameter.PV), std::end(parameter.PV), std::begin(target.PV));
        std::copy(std::begin(parameter.dP), std::end(parameter.dP), std::begin(target.dP));
        std::copy(std::begin(parameter.PS), std::end(parameter.PS), std::begin(target.PS));
        std::copy(std::begin(parameter.PA), std::end(parameter.PA), std::begin(target.PA));
        std::copy(std::begin(parameter.PW), std::end(parameter.PW), std::begin(target.PW));
    }
}

std::unique_ptr<LibraryState> CopyForSimulation(LibraryState& state)
{
    std::unique_ptr<LibraryState> copy(new (std::nothrow) LibraryState());
    if (copy == nullptr) return nullptr;
    try {
        RefreshCopy(*copy, state);
        copy->modelAllocated = true;  // from here on its destructor frees what was copied

        const FormulaVariables& from = state.variables;
        FormulaVariables& to = copy->variables;
        bool complete = true;
        for (size_t a = 0; a < state.AdjustableTable.size(); ++a) {
            const compil* definition = state.AdjustableTable[a].PE;
            if (definition == nullptr) continue;
            copy->AdjustableTable[a].PE = CopyFormulaFor(definition, from, to);
            complete = complete && copy->AdjustableTable[a].PE != nullptr;
        }
        for (size_t s = 0; s < state.SpeciesTable.size() && complete; ++s)
            for (size_t i = 0; i < std::size(state.SpeciesTable[s].Formula) && complete; ++i)
                complete = CopySlots(state.SpeciesTable[s].Formula[i], copy->SpeciesTable[s].Formula[i], from, to);
        for (size_t p = 0; p < std::size(state.PParameterFormulas) && complete; ++p)
            complete = CopySlots(state.PParameterFormulas[p], copy->PParameterFormulas[p], from, to);
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

int SideBySideGroups(const LibraryState& state, int count)
{
    const int wanted = state.threadGroups > 0 ? state.threadGroups : ProcessorsForThisThread();
    return std::max(std::min({wanted, count, kMostSideBySideGroups}), 1);
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
