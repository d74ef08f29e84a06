// Everything the engine keeps between two host calls, in one object cut by lifetime: the
// loaded model, the values simulations change, the fast paths' caches and the options tests
// set. An Engine (entry/engine.h) owns one; the exported functions use the process-wide
// Engine's, tests make their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/side_by_side.h"
#include "common/sized_table.h"
#include "formula/compiled_formula.h"
#include "formula/compiler.h"
#include "formula/formula_variables.h"
#include "integration/right_hand_side.h"
#include "integration/right_hand_side_plan.h"
#include "library/model_store.h"
#include "library/walk_reuse.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// The values of one adjustable parameter. Index 0 of the per-individual arrays is the
// population, i individual i; PV[NIndividuals + 1] is the a-priori centre. Its defining
// formula belongs to the loaded model (AdjustableDefinition).
struct PAjustable {
    std::vector<WorkingFloat> PV;  // values [0 .. NIndividuals + 1]
    std::vector<WorkingFloat> dP;  // last step of the fits [0 .. NIndividuals]
    WorkingFloat PS[2] = {};       // [0] population deviation, [1] a-priori deviation
    std::vector<int16_t> PA;       // FitCode [0 .. NIndividuals]: [0] population, [i] individual i
    WorkingFloat PW[2] = {};       // prior weights: [0] individual deviation, [1] a-priori
};

// The defining formula of one adjustable parameter.
struct AdjustableDefinition {
    TokenText PEqualTo;      // token text once loaded; empty = the parameter is free
    compilptr PE = nullptr;  // its compiled form; null when absent
};

// One species: the formula that sets its amount when interrupt t of individual i begins,
// TextFormula[i][t] and Formula[i][t] for i = 1 .. NIndividuals, t = 1 .. NInterrupts.
struct PEspece {
    SizedTable<TokenText> TextFormula;
    SizedTable<compilptr> Formula;
};

// The library's copy of the counts of BInitials (its text fields are never read after the
// copy; the file names live with the loaded model).
struct InitialsCopy {
    BInitials record{};
};

// The loaded model: built by Calcul_initial and left as it is until the next load or Fin,
// with its tables shaped by the loaded counts. Compiled formulas are bound to the cells of
// the state that holds them. The store's prediction blocks are the simulations' output;
// copies of the state have no store.
struct LoadedModel {
    ConstantTable constants;  // read by every compiled formula, copies' included

    std::vector<AdjustableDefinition> AdjustableDefinitions;  // [1 .. NAjustables]
    std::vector<PEspece> SpeciesTable;                        // [1 .. NEspeces]
    PEquations EquationSet{};
    SizedTable<compilptr> PParameterFormulas;  // [p][t]: p = 1 .. NPParametres, t = 1 .. NInterrupts
    std::vector<compilptr> OutputFormulas;     // [1 .. NSorties]
    std::unique_ptr<ModelStore> store;

    // The counts the loaded model was shaped by; later calls must pass the same.
    BInitials loadedCounts{};
    // Whether a load completed without error and no Fin followed: Simulation and the fits
    // refuse to run otherwise (contract code).
    bool modelReady = false;
    // Whether any compiled formula or store may exist (a load started and no Fin followed).
    bool modelAllocated = false;

    // The host's file names as last copied in (FileNameDat, FileNameEsp; ASCII, UTF-8 on
    // Windows): the data file is the one Simulation writes its results to.
    std::string dataFileName;
    std::string speciesFileName;
    // Whether the load took its points and species lines from memory: no file is then read,
    // written or erased.
    bool inMemory = false;
    // Files to erase at Fin: the data file last assigned and the species file.
    std::string dataFileHandle;
    std::string speciesFileHandle;
};

// What simulations and fits change: a plain value, so that a copy of the state is brought up
// to date by one assignment. The formula cells are values too: assigning copies their
// contents, never their addresses, which the compiled formulas hold.
struct ModelValues {
    FormulaVariables variables;
    InitialsCopy init;
    BFitSet fit{};  // the working BFitSet; its Method text is only read during the call that copied it in
    Integrator CurrentIntegrator = nullptr;

    std::vector<PAjustable> AdjustableTable;  // [1 .. NAjustables] (at least; see ShapeTables)
    SizedTable<WorkingFloat> IndividualQValues;  // [q][i]: q = 1 .. NQParametres, i = 1 .. NIndividuals

    // Load-time counters.
    int32_t AdjustedCount = 0;
    int32_t FittedValueCount = 0;
    bool PopulationFitFlag = false;
};

struct LibraryState;

// What the fast paths keep between calls; none of it changes a result.
struct FastPathCaches {
    FastPathCaches();
    ~FastPathCaches();

    // The plan of the loaded equations (built on first use after a load, dropped with the
    // formulas), on which every method runs its planned instantiation.
    std::unique_ptr<RightHandSidePlan> equationPlan;
    // The fits' replay of walks whose inputs have not changed (walk_reuse.h); active only
    // while a fit runs with fast paths on and the model's walks start afresh.
    WalkReuse walkReuse;
    // Copies of the state that simulations side by side run on (state_copy.h), kept while
    // the model is loaded.
    std::array<std::unique_ptr<LibraryState>, kMostSideBySideGroups> simulationCopies;
};

// How the engine reaches its results, set by tests (the exports keep the defaults).
struct EngineOptions {
    // Fast paths (the right-hand-side plan, on which every method runs its planned
    // instantiation) give the plain results to the last bit; tests turn them off to compare.
    bool fastPaths = true;
    // How many groups of simulations or walks run side by side when the model allows it (0: one
    // per processor, walks only when there is enough of them to repay the threads); 1 gives
    // the sequential order, more groups than the machine has processors exercise the threads
    // anywhere.
    int threadGroups = 0;
    // Largest model store a load may allocate, in bytes: makes the allocation fail
    // (out-of-memory code) without exhausting the machine. Unlimited by default.
    size_t storeByteLimit = std::numeric_limits<size_t>::max();
};

// Everything the engine keeps between two host calls, in four parts by lifetime; the parts
// are bases so that their fields read as the state's own (state.store, state.AdjustableTable).
// Compiled formulas hold the addresses of its cells, so an instance never moves while formulas
// exist (it is held by pointer and not copyable).
struct LibraryState : DefinitionSource, LoadedModel, ModelValues, FastPathCaches, EngineOptions {
    LibraryState() = default;
    LibraryState(const LibraryState&) = delete;
    LibraryState& operator=(const LibraryState&) = delete;
    ~LibraryState() override;

    ModelValues& values() { return *this; }
    const ModelValues& values() const { return *this; }
    EngineOptions& options() { return *this; }
    const EngineOptions& options() const { return *this; }

    // Shapes every table of the model and of the values for counts (within the capacities),
    // every entry null, zero or empty: the species texts and formulas by individuals ×
    // interrupts, the P formulas by P parameters × interrupts, the Q values by Q parameters ×
    // individuals, the per-individual values of each adjustable parameter by individuals.
    // The formulas must have been released. Throws std::bad_alloc when memory runs out.
    void ShapeTables(const BInitials& counts);

    // Whether counts has the dimensions of the loaded model (species, individuals, interrupts,
    // P and Q parameters, adjustables, points, outputs).
    bool MatchesLoadedModel(const BInitials& counts) const;

    // The environment formulas are compiled against.
    FormulaEnvironment Environment() { return FormulaEnvironment{variables, constants, this}; }
    // The right-hand side the drivers integrate: with fast paths on, through the plan of the
    // loaded equations (built on first use after a load, dropped with the formulas).
    RightHandSide Equations();

    // DefinitionSource: PEqualTo of parameter k when its PE slot is set.
    const TokenText* Definition(int k) const override;
    void DropDefinition(int k) override;

    // Frees every compiled formula and the store; texts and values stay.
    void ReleaseFormulasAndStore();
};

}  // namespace tessuvan
