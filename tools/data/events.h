// The events of one individual, in the order in which they act: the data set's rows with their
// implied events made explicit.
//
// - A dose of AMT into CMT enters as AMT·f, f the compartment's bioavailability ([dosing]; a
//   formula the engine evaluates, so it may be estimated), at the dose's time plus the
//   compartment's lag (a formula the tool evaluates: a lag moves an event, and the engine's
//   event times are fixed for a run, so an estimated lag is refused).
// - An infusion (RATE > 0, DUR > 0, or RATE = -1 / -2 with dosing.rate / dosing.duration) is a
//   start and an end event; between them AMT·f/duration enters per unit of time. The duration
//   is AMT·f/RATE for a RATE (f must then be known before the run) and DUR as given otherwise.
// - ADDL repeats the dose row every II, ADDL more times.
// - A covariate whose value changes within the individual steps at the row's time (LOCF) or at
//   the previous row's time (NOCB).
// - A steady-state dose (SS 1 or 2 with II) is given every II before its row in a shadow of the
//   compartments: species of their own with the same rates, which no output reads and no
//   other dose or reset touches. At the row's time the shadow holds the steady state reached
//   from nothing, which is moved onto the compartments (SS 1 after a reset of every amount and
//   infusion, SS 2 added to them) together with the shadow's infusions still running; then the
//   dose itself follows. The count of earlier doses is the caller's (see engine_input.h: it
//   grows until the steady state holds to its tolerance); shadows whose trains of doses
//   overlap in time are distinct sets.
// - Where superposition holds (steady_state_trains.h: rates linear in the amounts, no free term,
//   no time, no covariate of the rates changing within the individual, and the dose's lag and
//   infusion over within II), the train is shortened instead: N = e·2^m earlier doses are e
//   doses and m doublings of their sum, before the individual's first row, in one shadow shared
//   by every such train; the steady state is kept in held species (no rates of their own) and
//   moved onto the compartments, scaled by AMT, at every row of the same shape.
// Events at the same time keep the file's order; events the tool makes (ADDL doses, infusion
// ends, lagged doses, NOCB steps) come after the rows written for that time, so an observation
// written at a dose time sees the amounts before an ADDL or NOCB change there.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "data/data_set.h"
#include "model/model_file.h"

namespace tessuvan::cli {

enum class EventKind {
    Observe,        // an observation with a DV
    Predict,        // EVID 2: a prediction wanted, no DV
    Bolus,          // `amount` enters `compartment` at once
    InfusionStart,  // `amount` (a rate) enters `compartment` per unit of time from here
    InfusionEnd,    // ... up to here
    Reset,          // every amount and infusion of the compartments set to 0 (not the shadows')
    Transfer,       // shadow set `shadow` added onto the compartments, its infusions with it; then 0
    Doubling,       // held set `hold` += shadow set `shadow`; then the shadow = the held set
    Settle,         // held set `hold` += shadow set `shadow`; then the shadow 0
    TransferHeld,   // held set `hold` times `value` added onto the compartments (the held set kept)
    Identity,       // shadow sets `shadow` + j - 1 (j = 1..n) set to the unit vectors e_j
    Solve,          // held set `hold` = (I − Φ)⁻¹·Φ·D (Φ in those shadows, D `amount` into
                    // `compartment`); then the shadows 0
    CovariateStep,  // covariate `covariate` takes `value`
};

struct Event {
    double time = 0;  // when it acts (as the engine stores times: a single)
    EventKind kind = EventKind::Observe;
    int line = 0;               // the data set row it comes from
    int order = 0;              // 0 written in the file; 1 made by the tool (after the rows at `time`)
    int sequence = 0;           // file order among events of one time and order
    int compartment = 0;        // doses: 1-based
    int shadow = 0;             // doses, checks, Transfer: the shadow set (1-based); 0 the compartments
    int hold = 0;               // Doubling, Settle, TransferHeld, checks: the held set (1-based); 0 none
    std::string amount;         // Bolus: engine text of the amount; infusions: of the rate
    int infusion = 0;           // infusions: the number shared by a start and its end
    std::size_t output = 0;     // Observe, Predict: the model output (0-based)
    double dv = 0;              // Observe (a censored one: the limit)
    int censored = 0;           // Observe with FOCEI: CENS of the row (1 below dv, -1 above it)
    double limit = 0;           // ... and LIMIT, the interval's other bound; NaN when none
    int steadyState = 0;        // Predict of a shadow: 3, 2, 1 intervals before its transfer (1 at it);
                                // of a doubled train: 6, 5, 4 its troughs after N/4, N/2 and N doses
    bool nonPositive = false;   // Observe: DV at or below 0, kept for the population estimation
    std::size_t covariate = 0;  // CovariateStep: 0-based
    double value = 0;           // CovariateStep: the value; TransferHeld: the scale (AMT over the train's)

    bool ChangesState() const { return kind != EventKind::Observe && kind != EventKind::Predict; }
};

struct IndividualEvents {
    std::vector<Event> events;            // in acting order
    std::vector<double> firstCovariates;  // [q]: the values at the first time
    std::vector<bool> covariateChanges;   // [q]: the value changes within the individual
    int censoredRows = 0;                 // CENS ≠ 0 rows: left out (M1) or kept (M3)
    int nonPositiveRows = 0;              // DV at or below 0 (the engine weighs only y > 0)
    int shadows = 0;                      // shadow sets the steady states need
    int holds = 0;                        // held sets of the doubled trains
};

// The count of doses before each steady-state dose (by its data set line), and the count for
// a line not listed.
struct PreDoses {
    int first = 20;
    std::map<int, int> byLine;
    std::map<int, double> ratios;  // by line: the trough's settling per interval, where measured
    int Of(int line) const
    {
        const auto found = byLine.find(line);
        return found == byLine.end() ? first : found->second;
    }
};

// The individual's events, a steady-state dose preceded by its count of doses every II; throws
// DataError (row, column, what to do) where the engine cannot express what a row asks for.
// Kept rows (the population estimation) keep the censored and the non-positive observations.
IndividualEvents EventsOf(const Model& model, const DataSet& data, const std::vector<const DataRow*>& rows,
                          const PreDoses& preDoses, CensoredRows censored = CensoredRows::LeftOut);

// The engine interrupts the events need: one per time at which something changes, and one at
// the first time in any case.
int InterruptsNeeded(const std::vector<Event>& events);

// The value of a formula that the tool evaluates before the run (parameters at their model
// values, covariates given); std::nullopt with the estimated parameter's name in `estimated`
// when it reads one.
std::optional<double> ValueBeforeRun(const Model& model, const Node& formula, const std::vector<double>& covariates,
                                     std::string& estimated);

double AsStored(double time);  // a time as the engine stores it (a single)

}  // namespace tessuvan::cli
