#include "data/events.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include "data/steady_state_trains.h"
#include "model/engine_text.h"
#include "model/number_text.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

// The engine counts a value not above this as "not observed".
constexpr double kObservationThreshold = TESSUVAN_OBSERVATION_THRESHOLD;  // tessuvan/tessuvan.h

std::size_t OutputOf(const Model& model, const DataSet& data, const DataRow& row)
{
    if (model.outputs.size() == 1) return 0;
    for (std::size_t k = 0; k < model.outputs.size(); ++k)
        if (model.outputs[k].cmt && *model.outputs[k].cmt == row.cmt) return k;
    throw DataError(data.Where(row.line, data.cmtColumn, "CMT") + ": no output of the model has cmt " +
                    std::to_string(row.cmt));
}

// The formula with every covariate replaced by its value: a dose's amount is fixed by the row.
NodePtr WithCovariates(const NodePtr& node, const std::vector<double>& covariates)
{
    if (!node) return node;
    if (node->kind == NodeKind::Name && node->symbol.kind == SymbolKind::Covariate) {
        const double value = covariates[std::size_t(node->symbol.index - 1)];
        return MakeNumber(NumberText(value), value);
    }
    if (!node->left) return node;
    if (!node->right) return MakeUnary(node->kind, WithCovariates(node->left, covariates));
    return MakeBinary(node->kind, WithCovariates(node->left, covariates), WithCovariates(node->right, covariates));
}

// Each row's covariate values, a missing cell filled from the row that the convention says
// holds there (NOCB: the next value given, LOCF: the last one), else from the other side.
std::vector<std::vector<double>> FilledCovariates(const Model& model, const DataSet& data,
                                                  const std::vector<const DataRow*>& rows)
{
    const std::size_t count = data.covariateColumns.size();
    std::vector<std::vector<double>> filled(rows.size(), std::vector<double>(count, 0.0));
    const bool next = model.covariateSteps == CovariateSteps::NextObservation;
    for (std::size_t q = 0; q < count; ++q) {
        std::vector<std::optional<double>> forward(rows.size()), backward(rows.size());
        std::optional<double> last;
        for (std::size_t r = 0; r < rows.size(); ++r)
            forward[r] = last = rows[r]->covariates[q] ? rows[r]->covariates[q] : last;
        last.reset();
        for (std::size_t r = rows.size(); r-- > 0;)
            backward[r] = last = rows[r]->covariates[q] ? rows[r]->covariates[q] : last;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::optional<double>& first = next ? backward[r] : forward[r];
            const std::optional<double>& second = next ? forward[r] : backward[r];
            if (!first && !second)
                throw DataError(data.Where(rows.front()->line, 0, "") + ": individual " + rows.front()->id +
                                " has no value of " + data.covariateColumns[q]);
            filled[r][q] = first ? *first : *second;
        }
    }
    return filled;
}

class EventBuilder {
public:
    EventBuilder(const Model& model, const DataSet& data, const PreDoses& preDoses, CensoredRows censored)
        : model_(model), data_(data), preDoses_(preDoses), censored_(censored)
    {
    }

    void Add(Event event, double time, int order)
    {
        event.time = AsStored(time);
        event.order = order;
        event.sequence = sequence_++;
        events_.push_back(std::move(event));
    }

    // A value the tool needs before the run (a lag, an infusion's rate or duration).
    double Known(const DataRow& row, int column, const std::string& key, const NodePtr& formula,
                 const std::string& text, const std::vector<double>& covariates, const std::string& why) const
    {
        std::string estimated;
        const std::optional<double> value = ValueBeforeRun(model_, *formula, covariates, estimated);
        if (!value)
            throw DataError(data_.Where(row.line, column, column == data_.rateColumn ? "RATE" : "AMT") + ": " + key +
                            " = \"" + text + "\" reads the estimated parameter '" + estimated + "'; " + why);
        if (!std::isfinite(*value))
            throw DataError(data_.Where(row.line, column, "AMT") + ": " + key + " = \"" + text +
                            "\" is not finite here");
        return *value;
    }

    // What the row's dose puts into its compartment; throws DataError where it cannot be given.
    DoseShape ShapeOf(const DataRow& row, const std::vector<double>& covariates) const
    {
        const int compartments = int(model_.compartments.size());
        const int cmt = row.cmt == 0 ? 1 : row.cmt;  // without CMT a dose goes to the first
        if (cmt < 1 || cmt > compartments)
            throw DataError(data_.Where(row.line, data_.cmtColumn, "CMT") + ": a dose needs CMT between 1 and " +
                            std::to_string(compartments) + " (the model's compartments in order)");
        const CompartmentDosing& dosing = model_.dosing[std::size_t(cmt - 1)];
        const std::string& name = model_.compartments[std::size_t(cmt - 1)];

        double lag = 0;
        if (dosing.lag) {
            lag = Known(row, data_.amountColumn, "dosing.lag." + name, dosing.lag, dosing.lagText, covariates,
                        "an estimated lag would move the dose's time, which the engine holds fixed for a run: fix "
                        "the lag's parameters (estimate = \"fixed\") or model the delay with a transit compartment");
            if (lag < 0)
                throw DataError(data_.Where(row.line, data_.amountColumn, "AMT") + ": dosing.lag." + name +
                                " is negative here (" + NumberText(lag) + ")");
        }
        const NodePtr bioavailability = WithCovariates(dosing.bioavailability, covariates);
        const std::string amount = NumberText(row.amount);
        const std::string entering = bioavailability ? amount + "*(" + EngineText(*bioavailability) + ")" : amount;

        // An infusion: its rate text and its duration.
        std::string rate;
        double duration = 0;
        auto knownFraction = [&] {
            if (!dosing.bioavailability) return 1.0;
            return Known(row, data_.rateColumn, "dosing.bioavailability." + name, dosing.bioavailability,
                         dosing.bioavailabilityText, covariates,
                         "with a RATE the duration is AMT·f/RATE, and an estimated f would move the infusion's "
                         "end: give the duration in DUR instead (then the rate is AMT·f/DUR)");
        };
        if (row.rate > 0) {
            rate = NumberText(row.rate);
            duration = row.amount * knownFraction() / row.rate;
        } else if (row.rate == -1) {
            if (!dosing.rate)
                throw DataError(data_.Where(row.line, data_.rateColumn, "RATE") +
                                ": RATE -1 takes the rate from "
                                "the model, but it has no dosing.rate." +
                                name);
            const double value =
                Known(row, data_.rateColumn, "dosing.rate." + name, dosing.rate, dosing.rateText, covariates,
                      "an estimated rate would move the infusion's end, which the engine holds "
                      "fixed for a run: fix it, or give the duration (RATE -2 and dosing.duration)");
            if (!(value > 0))
                throw DataError(data_.Where(row.line, data_.rateColumn, "RATE") + ": dosing.rate." + name +
                                " is not positive here");
            rate = NumberText(value);
            duration = row.amount * knownFraction() / value;
        } else if (row.rate == -2 || row.duration > 0) {
            duration = row.duration;
            if (row.rate == -2) {
                if (!dosing.duration)
                    throw DataError(data_.Where(row.line, data_.rateColumn, "RATE") +
                                    ": RATE -2 takes the duration "
                                    "from the model, but it has no dosing.duration." +
                                    name);
                duration = Known(row, data_.rateColumn, "dosing.duration." + name, dosing.duration, dosing.durationText,
                                 covariates,
                                 "an estimated duration would move the infusion's end, which the engine holds fixed "
                                 "for a run: fix the duration's parameters (estimate = \"fixed\")");
            }
            rate = "(" + entering + ")/" + NumberText(duration);
        }
        if (!rate.empty() && !(duration > 0))
            throw DataError(data_.Where(row.line, data_.rateColumn, "RATE") +
                            ": the infusion's duration is not positive");
        return {cmt, lag, entering, rate, duration, bioavailability ? EngineText(*bioavailability) : ""};
    }

    void Dose(const DataRow& row, const std::vector<double>& covariates)
    {
        const DoseShape shape = ShapeOf(row, covariates);
        const int cmt = shape.compartment;
        const double lag = shape.lag, duration = shape.duration;
        const std::string &entering = shape.entering, &rate = shape.rate;

        // A steady state: the same dose every II before this one, into a shadow set free over the
        // train's span; checks of the shadow's trough 2, 1 and 0 intervals before the transfer
        // tell how far from its limit the train ended. A pre-dose due at or after the row's time
        // (a lag of II or more) is given to the compartments.
        int first = 0, shadow = 0;
        if (const auto held = held_.find(row.line); row.steadyState != 0 && held != held_.end()) {
            // The held steady state of this shape, scaled to this amount (steady_state_trains.h).
            // A row written before an SS 1 dose at its time reads it as it is (its train has this
            // row's amount).
            const auto [hold, scale] = held->second;
            for (Event& written : events_)
                if (row.steadyState == 1 && !written.ChangesState() && written.steadyState == 0 && written.order == 0 &&
                    written.time == AsStored(row.time))
                    written.hold = hold;
            Event change;
            change.line = row.line;
            if (row.steadyState == 1) {
                change.kind = EventKind::Reset;
                Add(change, row.time, 0);
            }
            change.kind = EventKind::TransferHeld;
            change.hold = hold;
            change.value = scale;
            Add(change, row.time, 0);
        } else if (row.steadyState != 0) {
            const int count = preDoses_.Of(row.line);
            first = -count;
            const double from = AsStored(row.time + first * row.interval + lag);
            for (std::size_t j = 0; j < shadowsFree_.size() && shadow == 0; ++j)
                if (shadowsFree_[j] < from) shadow = int(j + 1);
            if (shadow == 0) {
                shadowsFree_.push_back(0);
                shadow = int(shadowsFree_.size());
            }
            shadowsFree_[std::size_t(shadow - 1)] = AsStored(row.time);
            // A row written before an SS 1 dose at its time sees the steady-state trough: it reads
            // the shadow before the transfer (after the reset nothing else is there). Before an
            // SS 2 dose it sees the amounts before the steady state is added.
            for (Event& written : events_)
                if (row.steadyState == 1 && !written.ChangesState() && written.steadyState == 0 && written.order == 0 &&
                    written.time == AsStored(row.time))
                    written.shadow = shadow;
            for (int k : {-2, -1, 0}) {
                Event check;
                check.kind = EventKind::Predict;
                check.line = row.line;
                check.shadow = shadow;
                check.steadyState = 1 - k;
                for (std::size_t o = 0; o < model_.outputs.size(); ++o) {
                    check.output = o;
                    Add(check, row.time + k * row.interval, 0);
                }
            }
            Event change;
            change.line = row.line;
            if (row.steadyState == 1) {
                change.kind = EventKind::Reset;
                Add(change, row.time, 0);
            }
            change.kind = EventKind::Transfer;
            change.shadow = shadow;
            Add(change, row.time, 0);
        }
        for (int k = first; k <= row.additional; ++k) {
            const double start = row.time + k * row.interval + lag;
            const bool shadowed = k < 0 && AsStored(start) < AsStored(row.time);
            const int order = k != 0 || lag > 0 ? 1 : 0;
            Event dose;
            dose.line = row.line;
            dose.compartment = cmt;
            dose.shadow = shadowed ? shadow : 0;
            if (rate.empty()) {
                dose.kind = EventKind::Bolus;
                dose.amount = entering;
                Add(dose, start, order);
            } else {
                dose.kind = EventKind::InfusionStart;
                dose.amount = rate;
                dose.infusion = ++infusions_;
                Add(dose, start, order);
                dose.kind = EventKind::InfusionEnd;
                Add(dose, start + duration, 1);
            }
        }
    }

    int Shadows() const { return int(shadowsFree_.size()); }
    int Holds() const { return holds_; }

    // The steady-state rows that take a doubled train and its held set, and the trains' events
    // (steady_state_trains.h); before the rows are read.
    void PlanHeldTrains(const std::vector<const DataRow*>& rows, const std::vector<std::vector<double>>& covariates)
    {
        std::set<std::size_t> read;
        if (rows.empty() || !RatesSuperpose(model_, read)) return;
        for (std::size_t r = 1; r < rows.size(); ++r)
            for (std::size_t q : read)
                if (covariates[r][q] != covariates[r - 1][q]) return;  // the rates change within the individual
        // (compartment, II, lag, duration, infusion, fraction, the amount where it is read as it is)
        using Shape = std::tuple<int, double, double, double, bool, std::string, double>;
        std::map<Shape, std::size_t> shapes;
        std::vector<HeldTrain> trains;
        std::vector<double> amounts;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const DataRow& row = *rows[r];
            if ((row.evid != 1 && row.evid != 4) || row.steadyState == 0 || row.amount == 0) continue;
            DoseShape shape;
            try {
                shape = ShapeOf(row, covariates[r]);
            } catch (const DataError&) {
                continue;  // said where the row is read
            }
            if (!(shape.lag < row.interval && shape.lag + shape.duration <= row.interval)) continue;
            bool readAsItIs = false;
            for (std::size_t b = r; row.steadyState == 1 && b > 0 && AsStored(rows[b - 1]->time) == AsStored(row.time);
                 --b)
                readAsItIs = readAsItIs || rows[b - 1]->evid == 0 || rows[b - 1]->evid == 2;
            const Shape key{
                shape.compartment,          row.interval, shape.lag, shape.duration, shape.rate.empty(), shape.fraction,
                readAsItIs ? row.amount : 0};
            const auto [found, added] = shapes.try_emplace(key, trains.size());
            if (added) {
                const bool exact = model_.compartments.size() <= std::size_t(kMostExactCompartments) &&
                                   shape.rate.empty() && shape.lag == 0;
                trains.push_back({shape, row.interval, row.line, int(trains.size()) + 1, exact});
                amounts.push_back(row.amount);
            }
            held_[row.line] = {int(found->second) + 1, row.amount / amounts[found->second]};
        }
        if (trains.empty()) return;
        const bool exact = std::any_of(trains.begin(), trains.end(), [](const HeldTrain& t) { return t.exact; });
        const int lane = int(shadowsFree_.size()) + 1;
        shadowsFree_.resize(shadowsFree_.size() + (exact ? model_.compartments.size() : 1), 0);
        const auto [events, end] =
            HeldTrainEvents(trains, rows.front()->time, lane, model_.outputs.size(), preDoses_, infusions_);
        for (const Event& event : events) Add(event, event.time, event.order);
        for (std::size_t j = std::size_t(lane - 1); j < shadowsFree_.size(); ++j) shadowsFree_[j] = AsStored(end);
        holds_ = int(trains.size());
    }

    void Row(const DataRow& row, const std::vector<double>& covariates, IndividualEvents& out)
    {
        Event event;
        event.line = row.line;
        if (row.evid == 3 || row.evid == 4) {
            event.kind = EventKind::Reset;
            Add(event, row.time, 0);
        }
        if (row.evid == 1 || row.evid == 4) Dose(row, covariates);
        if (row.evid == 2) {
            event.kind = EventKind::Predict;
            if (model_.outputs.size() > 1 && row.cmt == 0)
                for (std::size_t k = 0; k < model_.outputs.size(); ++k) {
                    event.output = k;
                    Add(event, row.time, 0);
                }
            else {
                event.output = OutputOf(model_, data_, row);
                Add(event, row.time, 0);
            }
        }
        if (row.evid == 0 && !row.missing) {
            if (row.censored != 0) {
                ++out.censoredRows;
                // Kept (for the population estimation): an observation known only to lie beyond
                // its limit (M3).
                if (censored_ == CensoredRows::LeftOut) return;
                event.kind = EventKind::Observe;
                event.output = OutputOf(model_, data_, row);
                event.dv = *row.dv;
                event.censored = row.censored;
                event.limit = row.limit ? *row.limit : std::nan("");
                Add(event, row.time, 0);
                return;
            }
            if (!(*row.dv > kObservationThreshold)) {
                ++out.nonPositiveRows;
                // Kept: the population estimation weighs them when its residual error allows.
                if (censored_ == CensoredRows::LeftOut) return;
                event.nonPositive = true;
            }
            event.kind = EventKind::Observe;
            event.output = OutputOf(model_, data_, row);
            event.dv = *row.dv;
            Add(event, row.time, 0);
        }
    }

    void Step(std::size_t q, double value, double time, int order, int line)
    {
        Event step;
        step.kind = EventKind::CovariateStep;
        step.covariate = q;
        step.value = value;
        step.line = line;
        Add(step, time, order);
    }

    std::vector<Event> Sorted()
    {
        std::stable_sort(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
            if (a.time != b.time) return a.time < b.time;
            if (a.order != b.order) return a.order < b.order;
            return a.sequence < b.sequence;
        });
        return std::move(events_);
    }

private:
    const Model& model_;
    const DataSet& data_;
    std::vector<Event> events_;
    const PreDoses& preDoses_;
    std::vector<double> shadowsFree_;             // [set - 1]: the time of its last transfer
    std::map<int, std::pair<int, double>> held_;  // steady-state row's line -> (held set, scale)
    int holds_ = 0;
    CensoredRows censored_ = CensoredRows::LeftOut;
    int sequence_ = 0;
    int infusions_ = 0;
};

}  // namespace

int InterruptsNeeded(const std::vector<Event>& events)
{
    std::size_t used = 0;  // changes after the last request are dropped
    for (std::size_t e = 0; e < events.size(); ++e)
        if (!events[e].ChangesState()) used = e + 1;
    int count = 0;
    for (std::size_t begin = 0; begin < used;) {
        std::size_t end = begin;
        bool changes = false;
        for (; end < used && events[end].time == events[begin].time; ++end)
            changes = changes || events[end].ChangesState();
        if (begin == 0 || changes) ++count;
        begin = end;
    }
    return count;
}

double AsStored(double time) { return static_cast<double>(static_cast<float>(time)); }

IndividualEvents EventsOf(const Model& model, const DataSet& data, const std::vector<const DataRow*>& rows,
                          const PreDoses& preDoses, CensoredRows censored)
{
    IndividualEvents out;
    const std::vector<std::vector<double>> covariates = FilledCovariates(model, data, rows);
    const std::size_t count = data.covariateColumns.size();
    out.firstCovariates = covariates.empty() ? std::vector<double>(count, 0.0) : covariates.front();
    out.covariateChanges.assign(count, false);
    const bool next = model.covariateSteps == CovariateSteps::NextObservation;

    EventBuilder builder(model, data, preDoses, censored);
    builder.PlanHeldTrains(rows, covariates);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const DataRow& row = *rows[r];
        if (r > 0 && row.time < rows[r - 1]->time)
            throw DataError(data.Where(row.line, data.timeColumn, "TIME") + ": the time goes back from " +
                            NumberText(rows[r - 1]->time) + " to " + NumberText(row.time) + " within individual " +
                            row.id + " (sort each individual's rows by time)");
        for (std::size_t q = 0; r > 0 && q < count; ++q)
            if (covariates[r][q] != covariates[r - 1][q]) {
                out.covariateChanges[q] = true;
                // NOCB: this row's value holds after the previous row; LOCF: from this row on
                // (always for an occasion: it starts at its first row).
                if (next && !(q < model.covariates.size() && model.covariates[q].occasion))
                    builder.Step(q, covariates[r][q], rows[r - 1]->time, 1, row.line);
                else
                    builder.Step(q, covariates[r][q], row.time, 0, row.line);
            }
        builder.Row(row, covariates[r], out);
    }
    out.shadows = builder.Shadows();
    out.holds = builder.Holds();
    out.events = builder.Sorted();
    return out;
}

}  // namespace tessuvan::cli
