#include "library/library_state.h"

namespace tessuvan {

LibraryState::~LibraryState() { ReleaseFormulasAndStore(); }

const TokenText* LibraryState::Definition(int k) const
{
    if (k < 1 || k > kMaxAdjustables) return nullptr;
    const PAjustable& parameter = AdjustableTable[k];
    return parameter.PE != nullptr ? &parameter.PEqualTo : nullptr;
}

void LibraryState::DropDefinition(int k)
{
    if (k < 1 || k > kMaxAdjustables) return;
    FreeFormula(AdjustableTable[k].PE);
    AdjustableTable[k].PE = nullptr;
}

bool LibraryState::MatchesLoadedModel(const BInitials& counts) const
{
    const BInitials& loaded = loadedCounts;
    return counts.NEspeces == loaded.NEspeces && counts.NIndividuals == loaded.NIndividuals &&
           counts.NInterrupts == loaded.NInterrupts && counts.NPParametres == loaded.NPParametres &&
           counts.NQParametres == loaded.NQParametres && counts.NAjustables == loaded.NAjustables &&
           counts.NPoints == loaded.NPoints && counts.NSorties == loaded.NSorties;
}

namespace {

void Release(compilptr& slot)
{
    FreeFormula(slot);
    slot = nullptr;
}

}  // namespace

RightHandSide LibraryState::Equations()
{
    if (!fastPaths) return RightHandSide{EquationSet, variables};
    if (!equationPlan) equationPlan = RightHandSidePlan::Build(EquationSet, variables, init.record.NEspeces);
    return RightHandSide{EquationSet, variables, equationPlan.get()};
}

void LibraryState::ReleaseFormulasAndStore()
{
    equationPlan.reset();  // it points at the formulas
    walkReuse.Clear();
    for (auto& copy : simulationCopies) copy.reset();  // their formulas read our constants
    for (auto& parameter : AdjustableTable) Release(parameter.PE);
    for (auto& output : OutputFormulas) Release(output);
    for (auto& species : SpeciesTable)
        for (auto& row : species.Formula)
            for (auto& slot : row) Release(slot);
    for (auto& row : PParameterFormulas)
        for (auto& slot : row) Release(slot);
    for (auto& row : EquationSet.AM)
        for (auto& slot : row) Release(slot);
    for (auto& slot : EquationSet.FM) Release(slot);
    store.reset();
    modelReady = false;
    modelAllocated = false;
}

LibraryState& ProcessState()
{
    static LibraryState* const state = new LibraryState();  // lives as long as the library
    return *state;
}

}  // namespace tessuvan
