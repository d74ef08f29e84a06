// Doubled trains: a steady state in a few interrupts where superposition holds.
//
// For rates linear in the amounts, dx/dt = A·x, with A constant over the individual (no free
// term, no time, no covariate of the rates that changes within the individual), the trough
// just before a dose after k earlier doses of D every τ is
//     z_k = Σ_{j=1..k} Φ(jτ − L)·D,   Φ(t) = e^{A·t}, L the dose's lag,
// and z_{2k} = z_k + Φ(kτ)·z_k. A shadow of the compartments given e doses every τ holds z_e
// one interval after the last; held species (no rates) take a copy, the shadow runs on for
// e·τ and the copy is added back: z_{2e}. m such doublings give z_N for N = e·2^m earlier
// doses with e + m + 1 interrupts instead of N. The same superposition scales the steady state
// of one dose to any amount of the same shape (compartment, II, lag, duration, fraction), so
// every steady-state row of that shape in the individual reads the one held state, times
// AMT over the train's. The train's dose must be over before the first copy: a lag below II
// and a lag plus infusion within it; other steady states keep the plain train (events.h).
//
// The engine sets an interrupt's species in their order, each formula reading the amounts the
// lower ones already took: the held sets therefore come before the shadows (engine_input.h),
// so that a doubling sets the held set to held + shadow and then the shadow to the new held
// set.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "data/events.h"
#include "model/model_file.h"

namespace tessuvan::cli {

// N earlier doses as e doses given every II, then m doublings of their sum: N = e·2^m, m ≥ 2
// (the troughs after N/4, N/2 and N doses tell how far the train is from its limit) and
// 2^(m+2) ≤ the count, so that the train holds at least `count` doses and at most 8/7 of it.
struct DoubledTrain {
    int doses = 1;      // e
    int doublings = 2;  // m
    int Count() const { return doses << doublings; }
};
DoubledTrain DoubledTrainOf(int count);

// What a dose puts into the compartments, as the train repeats it.
struct DoseShape {
    int compartment = 1;   // 1-based
    double lag = 0;        // time units
    std::string entering;  // engine text of the amount entering (AMT·f)
    std::string rate;      // an infusion's rate text; empty for a bolus
    double duration = 0;   // an infusion's duration
    std::string fraction;  // engine text of f with the row's covariates; empty: 1
};

// Whether the model's rates allow doubled trains (linear in the amounts, no free term, no
// time, no P parameter); `covariates` receives the covariates (0-based) the rates read.
bool RatesSuperpose(const Model& model, std::set<std::size_t>& covariates);

// One doubled train: the shape of its dose, II, the line whose count it takes (its first row),
// and its held set.
struct HeldTrain {
    DoseShape shape;
    double interval = 0;
    int line = 0;
    int hold = 0;
    bool exact = false;  // by Φ(τ) over one interval (below), not by doubling
};

// Exact in one interval, for one or two compartments and a bolus without lag: shadows j = 1..n
// start from the unit vectors e_j and hold Φ(τ) one interval later, and the trough at steady
// state is z = Σ_{j≥1} Φ(τ)^j·D = (I − Φ(τ))⁻¹·Φ(τ)·D, solved in the held set's formulas
// (Cramer's rule); its error is the integration's over one interval, times 1/(1 − r) for the
// slowest settling r per interval.
constexpr int kMostExactCompartments = 2;

// The events of the trains in shadow sets `lane` (and the next ones, for an exact steady state of
// several compartments), one after the other, the last ending one II
// before `firstTime`, each train's count taken from `preDoses`: doses, doublings and the checks
// of every output (the troughs after N/4 and N/2 doses read in the shadow, after N in the
// held set). Returned with their times and orders (tool-made, order 1); `infusions` numbers
// the infusions. The second of the pair is the time of the last train's end.
std::pair<std::vector<Event>, double> HeldTrainEvents(const std::vector<HeldTrain>& trains, double firstTime, int lane,
                                                      std::size_t outputs, const PreDoses& preDoses, int& infusions);

}  // namespace tessuvan::cli
