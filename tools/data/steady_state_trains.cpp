#include "data/steady_state_trains.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace tessuvan::cli {

namespace {

// The engine variables a text reads: (letter, number) for F, A, P, Q, and ('T', 0) for the
// time; a defined parameter's formula is read in its place.
void CollectReads(const Model& model, const std::string& text, std::set<std::pair<char, int>>& reads, int depth = 0)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto alpha = [&](std::size_t k) { return k < text.size() && std::isalpha((unsigned char)text[k]); };
        const auto digit = [&](std::size_t k) { return k < text.size() && std::isdigit((unsigned char)text[k]); };
        if (!alpha(i) || (i > 0 && (std::isalnum((unsigned char)text[i - 1]) || text[i - 1] == '.'))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (alpha(end)) ++end;
        std::size_t digits = end;
        while (digit(digits)) ++digits;
        const std::string name = text.substr(i, end - i);
        const int number = digits > end ? std::stoi(text.substr(end, digits - end)) : 0;
        if (name == "T" && number == 0) reads.insert({'T', 0});
        if (name.size() == 1 && number > 0) {
            reads.insert({name[0], number});
            if (name == "A" && std::size_t(number) <= model.parameters.size() && depth < 64) {
                const ParameterSpec& parameter = model.parameters[std::size_t(number - 1)];
                if (parameter.definition) CollectReads(model, parameter.engineFormula, reads, depth + 1);
            }
        }
        i = digits;
    }
}

}  // namespace

DoubledTrain DoubledTrainOf(int count)
{
    DoubledTrain train;
    count = std::max(count, 1);
    while ((8 << train.doublings) <= count) ++train.doublings;  // 2^(m+2) ≤ count < 2^(m+3)
    train.doses = (count + (1 << train.doublings) - 1) >> train.doublings;
    return train;
}

bool RatesSuperpose(const Model& model, std::set<std::size_t>& covariates)
{
    std::set<std::pair<char, int>> reads;
    for (std::size_t s = 0; s < model.compartments.size(); ++s) {
        const std::string& free = model.freeText[s];
        if (!free.empty() && free != "0") return false;  // a source of its own would fill the shadow too
        for (const std::string& entry : model.matrixText[s]) CollectReads(model, entry, reads);
    }
    for (const auto& [letter, number] : reads) {
        if (letter == 'F' || letter == 'T' || letter == 'P') return false;
        if (letter == 'Q') covariates.insert(std::size_t(number - 1));
    }
    return true;
}

std::pair<std::vector<Event>, double> HeldTrainEvents(const std::vector<HeldTrain>& trains, double firstTime, int lane,
                                                      std::size_t outputs, const PreDoses& preDoses, int& infusions)
{
    std::vector<Event> events;
    auto add = [&](Event event, double time) {
        event.time = time;
        event.order = 1;
        events.push_back(std::move(event));
    };
    auto checks = [&](const HeldTrain& train, double time, int code, bool held) {
        Event check;
        check.kind = EventKind::Predict;
        check.line = train.line;
        check.steadyState = code;
        if (held)
            check.hold = train.hold;
        else
            check.shadow = lane;
        for (std::size_t o = 0; o < outputs; ++o) {
            check.output = o;
            add(check, time);
        }
    };
    // Laid out backwards from the first row: each train ends one of its intervals before the
    // next train's first dose (or the first row), so that no two of them share a time.
    std::vector<double> starts(trains.size());
    double end = firstTime;
    for (std::size_t c = trains.size(); c-- > 0;) {
        const double tau = trains[c].interval;
        end -= tau;
        starts[c] = end - (trains[c].exact ? 1 : DoubledTrainOf(preDoses.Of(trains[c].line)).Count()) * tau;
        end = starts[c];
    }
    double last = end;
    for (std::size_t c = 0; c < trains.size(); ++c) {
        const HeldTrain& train = trains[c];
        const DoubledTrain shape = DoubledTrainOf(preDoses.Of(train.line));
        const double tau = train.interval, start = starts[c];
        if (train.exact) {
            Event change;
            change.line = train.line;
            change.shadow = lane;
            change.kind = EventKind::Identity;
            add(change, start);
            last = start + tau;
            change.kind = EventKind::Solve;
            change.hold = train.hold;
            change.compartment = train.shape.compartment;
            change.amount = train.shape.entering;
            add(change, last);
            continue;
        }
        Event dose;
        dose.line = train.line;
        dose.compartment = train.shape.compartment;
        dose.shadow = lane;
        for (int k = 0; k < shape.doses; ++k) {
            const double at = start + k * tau + train.shape.lag;
            if (train.shape.rate.empty()) {
                dose.kind = EventKind::Bolus;
                dose.amount = train.shape.entering;
                add(dose, at);
            } else {
                dose.kind = EventKind::InfusionStart;
                dose.amount = train.shape.rate;
                dose.infusion = ++infusions;
                add(dose, at);
                dose.kind = EventKind::InfusionEnd;
                add(dose, at + train.shape.duration);
            }
        }
        Event change;
        change.line = train.line;
        change.shadow = lane;
        change.hold = train.hold;
        // After doubling i (at e·2^i intervals) the held set and the shadow hold z_{e·2^i}: the
        // last two are the troughs after N/4 and N/2 doses; the settling adds the last Φ(N/2·τ).
        for (int i = 0; i < shape.doublings; ++i) {
            const double at = start + double(shape.doses << i) * tau;
            change.kind = EventKind::Doubling;
            add(change, at);
            if (i >= shape.doublings - 2) checks(train, at, i == shape.doublings - 1 ? 5 : 6, false);
        }
        last = start + shape.Count() * tau;
        change.kind = EventKind::Settle;
        add(change, last);
        checks(train, last, 4, true);
    }
    return {events, last};
}

}  // namespace tessuvan::cli
