// The engine as a C++ object, for a host in the engine's own process (the toolkit): one
// LibraryState of its own, the five calls on it, and what the C interface cannot give: the
// points and species lines handed over in memory instead of the two files, an individual's
// walk at double-precision values, the predictions of every point read from the store, and
// one formula checked by the engine's own compiler.
//
// Every call is guarded as the exports are (entry/floating_point_guard.h: the caller's
// floating-point environment is held and every exception masked for the call, then restored)
// and catches everything: a failure becomes a code (8000 for memory, 2000 for anything else),
// never an exception. The exports (exports.cpp) are a C shim over a process-wide Engine.
// Not exported from the shared libraries.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessuvan/tessuvan.h"

namespace tessuvan {

struct LibraryState;

// The predictions of one point of an individual, as the result file would hold them (before
// its rounding to single): [k - 1] for outputs k = 1..NSorties.
struct PredictedPoint {
    double time = 0;
    std::vector<double> observed;
    std::vector<double> population;
    std::vector<double> individual;
};

// What the engine's tokenizer and compiler make of one formula text, compiled as handed over
// (not simplified), with the defined parameters it reads inlined.
struct FormulaCheck {
    int errors = 0;                 // the formula errors a load would count for it; 0 = compiles
    int steps = 0;                  // steps of the largest compiled part (counted past the 256 allowed)
    int depth = 0;                  // parts nested in one another below the formula itself
};

class Engine {
public:
    Engine();
    ~Engine();  // releases the model (no file is erased: that is Fin's)
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Calcul_initial, from the files the records name.
    void Load(BInitials* init, BFitSet* fit, ParameterTable* table, PParameterTexts* pTexts,
              QParameterValues* qValues, OutputTexts* outputs) noexcept;
    // Calcul_initial with the data file's records and the species file's text in memory
    // (the file names are not read; no file is read, written or erased until the next load).
    void Load(BInitials* init, BFitSet* fit, ParameterTable* table, PParameterTexts* pTexts,
              QParameterValues* qValues, OutputTexts* outputs, const std::vector<TessuvanPointRecord>& points,
              std::string_view speciesText) noexcept;
    void Simulate(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table) noexcept;
    void PopulationIteration(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table) noexcept;
    void IndividualIteration(int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                             ParameterTable* table) noexcept;
    void Release(BInitials* init, BFitSet* fit) noexcept;  // Fin

    // The loaded counts (zero before a load).
    int Individuals() const noexcept;
    int Parameters() const noexcept;
    int Outputs() const noexcept;

    // The integrator's settings (Precision) for SimulateIndividual, taken from fit; a load
    // leaves them to the first call that brings a BFitSet.
    void UseSettings(const BFitSet& fit) noexcept;
    // Individual a's walk (1..Individuals()) with its own values, values[p - 1] for
    // p = 1..Parameters() (a defining formula overwrites its parameter's). Returns the code of
    // the last interval integrated (0 on success), or 2000 with no model loaded.
    int SimulateIndividual(int a, const double* values) noexcept;
    // Individual prediction of output k at point j of individual a after its last walk.
    double IndividualPrediction(int a, int j, int k) const noexcept;
    // The value of parameter p individual a's walk used (0: the population's).
    double UsedValue(int a, int p) const noexcept;

    // Every point of every individual in point order ([a - 1][j - 1]) after the last
    // simulation; empty with no model. Sets *code (when given) to 8000 if memory runs out.
    std::vector<std::vector<PredictedPoint>> Predictions(int* code = nullptr) const noexcept;

    // Checks text as the engine's tokenizer and compiler read it; definitions[p - 1] is the
    // defining formula of adjustable parameter p, empty for a free one. A failure outside
    // the formula (memory) is reported as errors 8000.
    static FormulaCheck CheckFormula(const std::string& text, const std::vector<std::string>& definitions) noexcept;

    LibraryState& State() noexcept { return *state_; }  // for the engine's own tests

private:
    static double AsDouble(const WorkingFloat& value) noexcept;

    std::unique_ptr<LibraryState> state_;
};

// The process-wide engine behind the exports; created on first use, never destroyed.
Engine& ProcessEngine();

}  // namespace tessuvan
