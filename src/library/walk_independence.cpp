#include "library/walk_independence.h"

#include <cstddef>

#include "formula/formula_copy.h"

namespace tessuvan {

namespace {

// Whether f reads any of cells[from .. to] (1-based cells; an empty range reads none).
bool ReadsCells(const compil* f, const WorkingFloat* cells, int from, int to)
{
    return from <= to && ReadsAnyCell(f, &cells[from], static_cast<std::size_t>(to - from + 1));
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
        const compil* f = state.AdjustableDefinitions[a].PE;
        if (!FormulaPresent(f)) continue;
        if (ReadsCells(f, v.PParameters, 1, pParameters) || ReadsCells(f, v.SpeciesAmounts.data(), 1, species))
            return false;
        for (int later = a + 1; later <= counts.NAjustables; ++later)
            if (FormulaPresent(state.AdjustableDefinitions[later].PE) && ReadsCells(f, v.AdjustableValues, later, later))
                return false;
    }
    return true;
}

}  // namespace tessuvan
