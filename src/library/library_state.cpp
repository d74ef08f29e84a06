#include "library/library_state.h"

namespace tessuvan {

FastPathCaches::FastPathCaches() = default;
FastPathCaches::~FastPathCaches() = default;

LibraryState::~LibraryState() { ReleaseFormulasAndStore(); }

void LibraryState::ShapeTables(const BInitials& counts)
{
    const auto individuals = static_cast<size_t>(counts.NIndividuals);
    // Interrupt 1 always has a slot (empty when the model has none): the load and the walks
    // read the first interrupt's formulas of every species and P parameter.
    const auto interrupts = static_cast<size_t>(counts.NInterrupts > 1 ? counts.NInterrupts : 1);
    AdjustableDefinitions.assign(static_cast<size_t>(counts.NAjustables) + 1, AdjustableDefinition{});
    SpeciesTable.resize(static_cast<size_t>(counts.NEspeces) + 1);
    for (PEspece& species : SpeciesTable) {
        species.TextFormula.Shape(individuals + 1, interrupts + 1);
        species.Formula.Shape(individuals + 1, interrupts + 1);
    }
    PParameterFormulas.Shape(static_cast<size_t>(counts.NPParametres) + 1, interrupts + 1);
    OutputFormulas.assign(static_cast<size_t>(counts.NSorties) + 1, nullptr);

    // The prior weights are those of the last Simulation, whatever model it ran, until the next
    // one: entries are only ever added, so a fit run straight after a load reads what it
    // always read.
    if (AdjustableTable.size() < static_cast<size_t>(counts.NAjustables) + 1)
        AdjustableTable.resize(static_cast<size_t>(counts.NAjustables) + 1);
    for (PAjustable& parameter : AdjustableTable) {
        parameter.PV.assign(individuals + 2, 0);
        parameter.dP.assign(individuals + 1, 0);
        parameter.PA.assign(individuals + 1, 0);
    }
    IndividualQValues.Shape(static_cast<size_t>(counts.NQParametres) + 1, individuals + 1);
}

const TokenText* LibraryState::Definition(int k) const
{
    if (k < 1 || static_cast<size_t>(k) >= AdjustableDefinitions.size()) return nullptr;
    const AdjustableDefinition& definition = AdjustableDefinitions[static_cast<size_t>(k)];
    return definition.PE != nullptr ? &definition.PEqualTo : nullptr;
}

void LibraryState::DropDefinition(int k)
{
    if (k < 1 || static_cast<size_t>(k) >= AdjustableDefinitions.size()) return;
    AdjustableDefinition& definition = AdjustableDefinitions[static_cast<size_t>(k)];
    FreeFormula(definition.PE);
    definition.PE = nullptr;
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
    for (auto& definition : AdjustableDefinitions) Release(definition.PE);
    for (auto& output : OutputFormulas) Release(output);
    for (auto& species : SpeciesTable)
        for (auto& slot : species.Formula.cells()) Release(slot);
    for (auto& slot : PParameterFormulas.cells()) Release(slot);
    for (auto& row : EquationSet.AM)
        for (auto& slot : row) Release(slot);
    for (auto& slot : EquationSet.FM) Release(slot);
    store.reset();
    modelReady = false;
    modelAllocated = false;
}

}  // namespace tessuvan
