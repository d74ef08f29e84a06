// Turns a data set into what the engine reads: per individual, points (one per distinct time,
// in increasing time) each carrying its interrupt number and the observed value of each
// output, and per interrupt the formula that sets each compartment's amount when it begins.
//
// Doses become interrupts. The first interrupt of an individual sets every amount absolutely
// (the dose, or 0): the engine otherwise keeps what the previous individual left. Each later
// dose starts a new interrupt whose formula adds the amount to what is there ("F1+320"), and
// leaves the other compartments as they are ("F2"); a reset (EVID 3 or 4) sets every amount
// absolutely again. Rows of one individual at the same time become one point, the dose applied
// at that point: an observation at a dose's time is compared with the amounts just after it.
//
// The engine simulates an interrupt only from a point that has a successor, so a final point
// at which an interrupt begins gets a successor: dose-only points at the end are dropped (they
// change nothing observed), and an observation there gets a padding point a little later.
#pragma once

#include <string>
#include <vector>

#include "data_set.h"
#include "model_file.h"

namespace tessuvan::cli {

struct EnginePoint {
    double time = 0;          // as the engine stores it (a single)
    int interrupt = 1;        // 1-based within the individual
    std::vector<double> observed;  // [output k - 1]; 0 = not observed
    std::vector<int> lines;   // data set lines of the observations at this point, [k - 1], 0 = none
    bool extra = false;       // added by the tool (padding or curve grid), never observed
};

struct EngineIndividual {
    std::string id;
    int firstLine = 0;
    std::vector<EnginePoint> points;
    std::vector<std::vector<std::string>> startFormulas;  // [interrupt - 1][compartment - 1]
    std::vector<double> covariates;                         // [q - 1]
    int observationCount = 0;
};

struct EngineProblem {
    std::vector<EngineIndividual> individuals;
    int interruptCount = 0;        // the largest number of interrupts of any individual
    std::vector<std::string> warnings;

    int PointCount() const;
};

// Builds the problem; throws DataError (file, line, column) for data the engine cannot hold.
EngineProblem BuildEngineProblem(const Model& model, const DataSet& data);

// Adds up to `perIndividual` points without observation between each individual's first and
// last observed time, within the engine's points per individual, to draw smooth curves.
void AddCurveGrid(EngineProblem& problem, int perIndividual);

// The species file: for each compartment, the start formula of every individual and interrupt,
// then F[s], then A[s][1..n].
std::vector<std::string> SpeciesFileLines(const Model& model, const EngineProblem& problem);

// Shortest decimal text that reads back as the same double.
std::string NumberText(double value);

}  // namespace tessuvan::cli
