// Steady states to a stated relative tolerance, whatever the half-lives against the interval.
//
// A steady-state dose is given every II before its row, N times, in a shadow of the
// compartments (events.h); its trough there is read 2, 1 and 0 intervals before the row:
// c₂, c₁, c₀. For a system that settles geometrically, the differences d₁ = c₁ − c₂ and
// d₀ = c₀ − c₁ shrink by r = d₀/d₁ per interval, and the trough's distance from its limit is
// the rest of the series, e = |d₀|·r/(1 − r) (Aitken's estimate; exact for one mode, the
// slowest mode's once the faster ones have died out). When e exceeds the tolerance times |c₀|,
// m = ⌈ln(tol·|c₀|/e)/ln r⌉ + 2 more doses bring it below; the count is raised and the run
// repeated. Not a fixed count: the count follows the values at which the run ends.
//
// A doubled train (data/steady_state_trains.h) is checked on its troughs after N/4, N/2 and N
// doses instead, whose distances from the limit go as ρ, ρ² and ρ⁴ (ρ = r^(N/4)); its counts
// are rounded up to e·2^m.
#pragma once

#include "data/data_set.h"
#include "engine/engine_input.h"
#include "engine/engine_session.h"
#include "model/model_file.h"

namespace tessuvan::cli {

constexpr double kSteadyStateTolerance = 1e-8;  // relative, of every output's trough
constexpr int kSteadyStateRounds = 4;           // counts raised at most this often

struct SteadyStateCheck {
    bool reached = true;  // every steady state within the tolerance at the values
    PreDoses next;        // the counts that reach it (those given where they do)
    // The worst steady state not reached: its individual, line and relative distance.
    std::string individual;
    int line = 0;
    double distance = 0;
};

// True when some dose of the problem is a steady state.
bool HasSteadyStates(const EngineProblem& problem);

// The steady states of `problem` (built with `preDoses`) at `values` (the individuals' and
// the population's: both predictions are checked), by one simulation at double precision.
SteadyStateCheck CheckSteadyStates(const Model& model, const EngineProblem& problem, const ParameterValues& values,
                                   const PreDoses& preDoses);

// The problem with counts of earlier doses that reach the tolerance at `values` (the model's
// values when `values` has no individual for each of the problem's), starting from `preDoses`
// and raising them; throws DataError naming the individual and the line when the engine's
// interrupts or points run out first. `preDoses` is left holding the counts used.
EngineProblem SteadyStateProblem(const Model& model, const DataSet& data, CensoredRows censored,
                                 const ParameterValues& values, PreDoses& preDoses);

// The problem of a simulation with variability: the counts that reach the tolerance at the
// model's values, doubled for the individuals drawn about them (an individual whose slowest
// rate is half the typical one settles within the doubled count). Censored rows left out (as
// the pooled fit leaves them), or kept as rows to simulate (`censored`).
EngineProblem DrawnSteadyStateProblem(const Model& model, const DataSet& data,
                                      CensoredRows censored = CensoredRows::LeftOut);

}  // namespace tessuvan::cli
