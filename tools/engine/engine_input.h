// Turns a data set into what the engine reads: per individual, points (one per distinct time,
// in increasing time) each carrying its interrupt number and the observed value of each
// output, and per interrupt the formula that sets each species' amount when it begins.
//
// The events of an individual (events.h) become interrupts: every time at which amounts,
// infusion rates or covariates change starts one, whose formulas apply that time's changes in
// order. The first interrupt of an individual sets every amount absolutely (0 plus its doses):
// the engine otherwise keeps what the previous individual left; later ones add a dose to what
// is there ("F1+320"), a reset sets 0 again.
//
// Species beyond the model's compartments, added only when the data set needs them:
// - one per compartment that receives infusions, holding the sum of the rates running into it
//   (set at each interrupt, no rate of its own) and read by that compartment's rate as +1·x;
// - one per covariate that changes within an individual, holding its current value; the
//   formulas read it where they read the covariate (a covariate that never changes stays a
//   per-individual value).
//
// Records at the same time act in file order. The engine integrates from point to point and
// an empty interval is an integration error, so one time is one point, at which the engine
// first applies the interrupt and then evaluates the outputs. An observation written before a
// change at its time must see the amounts before it: P parameters copy every species' amount
// at the start of each interrupt, before the species are set (the engine sets P parameters
// first), and such an observation is compared with a copy of the output that reads those
// copies (an extra output of the engine, same weight). At an individual's first time the copy
// would read the previous individual, so the copies there read 0 (no dose has been given);
// when a covariate step needs them there, an interrupt that only sets the initial values goes
// first at the same point.
//
// The engine simulates an interrupt only from a point that has a successor, so a final point
// at which an interrupt begins gets a successor: changes after the last observation are
// dropped (they change nothing observed), and an observation there gets a padding point a
// little later.
#pragma once

#include <string>
#include <vector>

#include "data/data_set.h"
#include "data/events.h"
#include "model/model_file.h"
#include "model/number_text.h"

namespace tessuvan::cli {

// A row whose prediction is wanted at a point: an observation (dv > 0) or an EVID 2 row; or a
// check of a steady state (steadyState ≠ 0).
struct EngineRequest {
    std::size_t slot = 0;      // the engine output that answers it (0-based)
    int line = 0;              // the data set line
    double dv = 0;             // 0 = a prediction without observation
    int censored = 0;          // FOCEI: a censored observation (dv 0, the engine does not weigh it),
    double bound = 0;          // 1 below `bound` (DV), -1 above it,
    double limit = 0;          // the other bound (LIMIT) or NaN
    bool nonPositive = false;  // FOCEI: an observation at or below 0, its DV in `bound` (dv 0)
    int steadyState = 0;       // a check of the steady state of the dose on `line`, in its shadow: 3, 2,
                               // 1 intervals before the dose's row ends (not a row of the data set)
};

struct EnginePoint {
    double time = 0;               // as the engine stores it (a single)
    int interrupt = 1;             // 1-based within the individual
    std::vector<double> observed;  // [engine output - 1]; 0 = not observed
    std::vector<EngineRequest> requests;
    bool extra = false;  // added by the tool (padding or curve grid), never observed
};

struct EngineIndividual {
    std::string id;
    int firstLine = 0;
    std::vector<EnginePoint> points;
    std::vector<std::vector<std::string>> startFormulas;  // [interrupt - 1][species - 1]
    std::vector<double> covariates;                       // [q - 1]
    int observationCount = 0;
};

struct EngineProblem {
    std::vector<EngineIndividual> individuals;
    int interruptCount = 0;  // the largest number of interrupts of any individual
    std::vector<std::string> warnings;

    // The engine's model: the compartments and the species added for the data set.
    int speciesCount = 0;
    std::vector<std::vector<std::string>> matrixText;  // [s][e]: engine text of A[s][e], or empty
    std::vector<std::string> freeText;                 // [s]
    std::vector<std::string> outputTexts;              // the model's outputs, then their copies
    std::vector<std::size_t> outputOf;                 // [engine output]: the model output it shows
    std::vector<std::string> parameterTexts;           // [p]: defining formulas
    std::vector<std::vector<std::string>> pTexts;      // [interrupt - 1][p]: P formulas

    int PointCount() const;
};

// Builds the problem; throws DataError (file, line, column) for data the engine cannot hold.
// Censored and non-positive rows become requests without a DV when kept (a non-positive one
// refused under a proportional error alone). Each steady-state dose has the count of earlier
// doses `preDoses` gives it (see steady_state.h for the count that reaches the tolerance).
EngineProblem BuildEngineProblem(const Model& model, const DataSet& data,
                                 CensoredRows censoredRows = CensoredRows::LeftOut, const PreDoses& preDoses = {});

// Adds up to `perIndividual` points without observation between each individual's first and
// last observed time, within the engine's points per individual, to draw smooth curves.
void AddCurveGrid(EngineProblem& problem, int perIndividual);

// The species file: for each compartment, the start formula of every individual and interrupt,
// then F[s], then A[s][1..n].
std::vector<std::string> SpeciesFileLines(const Model& model, const EngineProblem& problem);

}  // namespace tessuvan::cli
