// Everything the engine keeps between two host calls, in one object. Compiled formulas hold
// the addresses of its cells, so an instance never moves while formulas exist (it is held by
// pointer and not copyable). The exported functions use one process-wide instance
// (ProcessState); tests make their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "common/side_by_side.h"
#include "formula/compiled_formula.h"
#include "formula/compiler.h"
#include "formula/formula_variables.h"
#include "integration/right_hand_side.h"
#include "integration/right_hand_side_plan.h"
#include "library/model_store.h"
#include "library/walk_reuse.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan {

// One adjustable parameter. Index 0 of the per-individual arrays is the population;
// PV[NIndividuals + 1] is the a-priori centre.
struct PAjustable {
    TokenText PEqualTo;               // defining formula (token text once loaded); empty = free
    compilptr PE = nullptr;           // its compiled form; null when absent
    WorkingFloat PV[kMaxIndividuals + 2] = {};  // values
    WorkingFloat dP[kMaxIndividuals + 1] = {};  // last step of the fits
    WorkingFloat PS[2] = {};          // [0] population deviation, [1] a-priori deviation
    int16_t PA[kMaxIndividuals + 1] = {};       // FitCode: [0] population, [i] individual i
    WorkingFloat PW[2] = {};          // prior weights: [0] individual deviation, [1] a-priori
};

// One species: the formula that sets its amount when interrupt t of individual i begins.
struct PEspece {
    TokenText TextFormula[kMaxIndividuals + 1][kMaxInterrupts + 1];
    compilptr Formula[kMaxIndividuals + 1][kMaxInterrupts + 1] = {};
};

// The library's copy of BInitials: the counts, and the file names as owned texts (the host's
// texts are never referenced past a call).
struct InitialsCopy {
    BInitials record{};           // counts; its text fields are never read after the copy
    std::string dataFileName;     // FileNameDat (ASCII; UTF-8 on Windows)
    std::string speciesFileName;  // FileNameEsp (ASCII; UTF-8 on Windows)
};

struct LibraryState : DefinitionSource {
    LibraryState() = default;
    LibraryState(const LibraryState&) = delete;
    LibraryState& operator=(const LibraryState&) = delete;
    ~LibraryState() override;

    // Formula cells and the constant table (bound by address in every compiled formula).
    FormulaVariables variables;
    ConstantTable constants;

    // Library copies of the host records.
    InitialsCopy init;
    BFitSet fit{};  // its Method text is only read during the call that copied it in

    // Model.
    std::array<PAjustable, kMaxAdjustables + 1> AdjustableTable{};  // [1..NAjustables]
    std::array<PEspece, kMaxSpecies + 1> SpeciesTable{};            // [1..NEspeces]
    PEquations EquationSet{};
    compilptr PParameterFormulas[kMaxPParameters + 1][kMaxInterrupts + 1] = {};  // [p][t]
    WorkingFloat IndividualQValues[kMaxQParameters + 1][kMaxIndividuals + 1] = {};  // [q][i]
    compilptr OutputFormulas[kMaxOutputs + 1] = {};
    std::unique_ptr<ModelStore> store;
    Integrator CurrentIntegrator = nullptr;

    // Load-time counters.
    int32_t AdjustedCount = 0;
    int32_t FittedValueCount = 0;
    bool PopulationFitFlag = false;

    // Whether a load completed without error and no Fin followed: Simulation and the fits
    // refuse to run otherwise (contract code).
    bool modelReady = false;
    // Whether any compiled formula or store may exist (a load started and no Fin followed).
    bool modelAllocated = false;
    // Files to erase at Fin: the data file last assigned and the species file.
    std::string dataFileHandle;
    std::string speciesFileHandle;
    // The counts the loaded model was shaped by; later calls must pass the same.
    BInitials loadedCounts{};
    // Largest model store a load may allocate, in bytes: a test hook that makes the allocation
    // fail (out-of-memory code) without exhausting the machine. Unlimited by default.
    size_t storeByteLimit = std::numeric_limits<size_t>::max();
    // How many groups of simulations or walks run side by side when the model allows it (0: one
    // per processor, walks only when there is enough of them to repay the threads): a test
    // hook, like storeByteLimit, that sets 1 for the sequential order, or more groups than
    // the machine has processors to exercise the threads anywhere.
    int threadGroups = 0;
    // Copies of this state that simulations side by side run on (state_copy.h), kept while
    // the model is loaded.
    std::array<std::unique_ptr<LibraryState>, kMostSideBySideGroups> simulationCopies;

    // Whether counts has the dimensions of the loaded model (species, individuals, interrupts,
    // P and Q parameters, adjustables, points, outputs).
    bool MatchesLoadedModel(const BInitials& counts) const;

    // The environment formulas are compiled against.
    FormulaEnvironment Environment() { return FormulaEnvironment{variables, constants, this}; }
    // The right-hand side the drivers integrate: with fast paths on, through the plan of the
    // loaded equations (built on first use after a load, dropped with the formulas).
    RightHandSide Equations();

    // Fast paths (the right-hand-side plan, on which every method runs its planned
    // instantiation) give the plain results to the last bit; tests turn them off to compare.
    bool fastPaths = true;
    std::unique_ptr<RightHandSidePlan> equationPlan;
    // The fits' replay of walks whose inputs have not changed (walk_reuse.h); active only
    // while a fit runs with fast paths on and the model's walks start afresh.
    WalkReuse walkReuse;

    // DefinitionSource: PEqualTo of parameter k when its PE slot is set.
    const TokenText* Definition(int k) const override;
    void DropDefinition(int k) override;

    // Frees every compiled formula and the store; texts and values stay.
    void ReleaseFormulasAndStore();
};

// The process-wide instance used by the exported functions; created on first use, never moved.
LibraryState& ProcessState();

}  // namespace tessuvan
