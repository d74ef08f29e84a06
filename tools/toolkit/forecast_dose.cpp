// The dose of a proposed regimen that reaches a target exposure: found for each candidate
// interval on the patient's MAP forecast, weighed over the posterior draws of η, and the
// interval chosen among the candidates.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

#include "engine/engine_codes.h"
#include "fmt/format.h"
#include "toolkit/forecast.h"
#include "toolkit/forecast_parts.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;
using Eigen::VectorXd;

namespace {

using detail::Guarded;
using detail::Reporter;

// The history a regimen follows: the patient's rows, or none when the regimen is at steady
// state (its first dose's SS 1 replaces whatever the history left; the added rows then take the
// patient's covariates).
DataSet HistoryBefore(const MapResult& map, const forecast::Regimen& regimen)
{
    DataSet history = map.patient;
    if (regimen.steadyState) history.rows.clear();
    return history;
}

struct Loading {
    double amount = 0;  // a given loading dose
    bool automatic = false;
};

Loading ParseLoading(const std::string& text)
{
    Loading loading;
    if (text.empty()) return loading;
    if (text == "auto") {
        loading.automatic = true;
        return loading;
    }
    char* end = nullptr;
    loading.amount = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(loading.amount) || !(loading.amount > 0))
        throw UsageError("--loading " + text + ": expected a positive amount or 'auto'");
    return loading;
}

// R = C_ss(II) / C_1(II) at the patient's MAP η for doses of `amount`: the concentration at the
// end of an interval at steady state over that at the end of the first interval of a single dose,
// neither with the history (for one compartment R = 1 / (1 − e^(−k·II)), whatever the amount).
double AccumulationRatio(const MapResult& map, const forecast::Regimen& regimen, double amount)
{
    const auto endOfInterval = [&](bool steady) {
        forecast::AddedRow dose;
        dose.time = regimen.start;
        dose.dose = true;
        dose.amount = amount;
        dose.duration = regimen.infusion;
        dose.cmt = regimen.cmt;
        if (steady) {
            dose.steadyState = 1;
            dose.interval = regimen.interval;
        }
        forecast::AddedRow level;
        level.time = regimen.start + regimen.interval;
        level.cmt = map.outputCmt;
        level.beforeSameTime = true;
        DataSet none = map.patient;
        none.rows.clear();
        forecast::PatientEngine engine(map.model, none, {dose, level}, &map.patient);
        const VectorXd f = detail::PredictedAt(map.prior, engine, map.posterior.eta);
        for (std::size_t r = 0; r < engine.Rows().size(); ++r)
            if (engine.Rows()[r].added == 1) return f[Eigen::Index(r)];
        return std::nan("");
    };
    const double single = endOfInterval(false), steady = endOfInterval(true);
    if (!(single > 0) || !(steady >= single) || !std::isfinite(steady))
        throw UsageError(fmt::format(
            "--loading auto: the concentration at the end of the first interval ({:.4g}) and at steady state "
            "({:.4g}) give no accumulation ratio for --interval {:g}; give the loading dose's amount",
            single, steady, regimen.interval));
    return steady / single;
}

// What every regimen must allow its target to measure.
void CheckRegimen(const DoseRequest& request, const forecast::Regimen& regimen, const forecast::Target& target,
                  const Loading& loading)
{
    const std::string every = fmt::format("--interval {:g}: ", regimen.interval);
    if (!(regimen.interval > 0)) throw UsageError("--interval must be positive");
    if (regimen.doses < 1) throw UsageError("--doses must be at least 1");
    if (regimen.infusion < 0) throw UsageError("--infusion must not be negative");
    const bool trough = target.kind == forecast::TargetKind::Trough;
    // At steady state the regimen's first dose replaces the history: what a target reads must
    // lie after it. Without it, the trough before a single dose does not depend on that dose.
    if (trough && regimen.doses < 2)
        throw UsageError(regimen.steadyState
                             ? "--steady-state with --target trough: the trough before the last dose needs --doses 2 "
                               "or more (the first dose sets the steady state)"
                             : "--target trough with --doses 1: the trough before the regimen's only dose does not "
                               "depend on its amount (--doses 2 or more)");
    if (regimen.steadyState && target.kind == forecast::TargetKind::Auc24 && regimen.doses * regimen.interval < 24)
        throw UsageError(
            fmt::format("{}--steady-state with --target auc24: the regimen spans {:g} h, less than the "
                        "24 h of the area (more --doses)",
                        request.intervals.size() > 1 ? every : "", regimen.doses * regimen.interval));
    if (loading.automatic || loading.amount > 0) {
        if (regimen.steadyState)
            throw UsageError("--loading with --steady-state: a regimen at steady state has no first dose to load");
        if (regimen.doses < 2) throw UsageError("--loading needs --doses 2 or more (the loading dose is the first)");
        if (loading.amount > 0 && trough && regimen.doses < 3)
            throw UsageError(
                "--loading AMOUNT with --target trough and --doses 2: the trough before the second dose depends "
                "on the loading dose alone (--doses 3 or more)");
    }
}

struct Weighed {
    DoseCandidate candidate;
    forecast::Regimen searched, given;  // the loading as searched (a ratio for auto) and as given
    forecast::ExposureRows design;
    std::unique_ptr<forecast::PatientEngine> engine;
};

struct Bounds {
    double lowest = 0, highest = 0, reference = 0;  // reference: the amount of R for auto
};

// The dose of one regimen, rounded, and its exposure over the posterior draws; a target out of
// reach within the bounds leaves the candidate's refusal.
Weighed Weigh(MapResult& map, const DoseRequest& request, const forecast::Target& target, forecast::Regimen regimen,
              const Loading& loading, const Bounds& bounds)
{
    Weighed w;
    DoseCandidate& c = w.candidate;
    c.interval = regimen.interval;
    c.doses = regimen.doses;
    if (loading.automatic) regimen.loadingRatio = AccumulationRatio(map, regimen, bounds.reference);
    if (loading.amount > 0) regimen.loading = loading.amount;
    w.searched = regimen;
    forecast::DoseSolution solution;
    try {
        solution = forecast::SolveDose([&](double amount) { return ForecastExposure(map, regimen, target, amount); },
                                       target.Aim(), bounds.lowest, bounds.highest, request.target);
    } catch (const std::domain_error& error) {
        c.refusal = error.what();
        return w;
    }
    c.unrounded = solution.amount;
    c.exposureUnrounded = solution.exposure;
    c.evaluations = solution.evaluations;
    c.amount = forecast::RoundDose(solution.amount, request.round, bounds.lowest, bounds.highest);
    w.given = regimen;
    if (regimen.loadingRatio > 0) {
        w.given.loadingRatio = 0;
        w.given.loading = forecast::RoundDose(regimen.loadingRatio * c.amount, request.round, 0,
                                              std::numeric_limits<double>::infinity());
    }
    c.loading = w.given.loading;

    w.design = forecast::ExposureRowsOf(w.given, target, c.amount, map.outputCmt);
    std::vector<forecast::AddedRow> rows = w.design.rows;
    const double first = regimen.steadyState ? regimen.start : map.patient.rows.front().time;
    const double until = request.map.until >= 0 ? request.map.until : regimen.End() + regimen.interval;
    if (!(until > first)) throw UsageError(fmt::format("--until {:g}: before the patient's first row", until));
    for (const forecast::AddedRow& row : detail::Grid(first, until, request.map.points, map.outputCmt))
        rows.push_back(row);
    w.engine = std::make_unique<forecast::PatientEngine>(map.model, HistoryBefore(map, regimen), rows, &map.patient);
    c.exposure =
        forecast::ExposureOf(w.design, w.engine->Rows(), detail::PredictedAt(map.prior, *w.engine, map.posterior.eta));
    int failed = 0;
    const std::vector<VectorXd> draws = detail::Simulated(map.prior, w.engine->Simulator(), map.posteriorDraws, failed);
    if (draws.empty()) throw cli::EngineError(EngineStage::Simulation, w.engine->LastCode());
    std::vector<double> exposures;
    int attained = 0;
    for (const VectorXd& f : draws) {
        exposures.push_back(forecast::ExposureOf(w.design, w.engine->Rows(), f));
        if (target.Attained(exposures.back())) ++attained;
    }
    c.probability = double(attained) / double(exposures.size());
    c.exposureP5 = forecast::Quantile(exposures, 0.05);
    c.exposureP50 = forecast::Quantile(exposures, 0.5);
    c.exposureP95 = forecast::Quantile(exposures, 0.95);
    return w;
}

// The candidates' regimens: each interval over the span of --doses of the longest.
std::vector<forecast::Regimen> Candidates(const DoseRequest& request)
{
    if (request.intervals.size() < 2) return {request.regimen};
    std::vector<double> seen;
    for (const double interval : request.intervals) {
        if (!(interval > 0)) throw UsageError(fmt::format("--interval {:g}: must be positive", interval));
        if (std::find(seen.begin(), seen.end(), interval) != seen.end())
            throw UsageError(fmt::format("--interval {:g}: given twice", interval));
        seen.push_back(interval);
    }
    const double span = request.regimen.doses * *std::max_element(seen.begin(), seen.end());
    std::vector<forecast::Regimen> regimens;
    for (const double interval : seen) {
        forecast::Regimen regimen = request.regimen;
        regimen.interval = interval;
        regimen.doses = int(std::ceil(span / interval - 1e-9));
        regimens.push_back(regimen);
    }
    return regimens;
}

}  // namespace

double ForecastExposure(const MapResult& map, const forecast::Regimen& regimen, const forecast::Target& target,
                        double amount)
{
    return Guarded([&] {
        const forecast::ExposureRows design = forecast::ExposureRowsOf(regimen, target, amount, map.outputCmt);
        forecast::PatientEngine engine(map.model, HistoryBefore(map, regimen), design.rows, &map.patient);
        return forecast::ExposureOf(design, engine.Rows(), detail::PredictedAt(map.prior, engine, map.posterior.eta));
    });
}

DoseResult Dose(const DoseRequest& request, const Callbacks& callbacks)
{
    return Guarded([&] {
        const auto start = std::chrono::steady_clock::now();
        const Reporter reporter(callbacks);
        reporter.Check();
        detail::CheckCounts(request.map);
        DoseResult dose;
        dose.request = request;
        dose.target = ParseTarget(request.target);
        dose.target.at = request.at;
        const Loading loading = ParseLoading(request.loading);
        const std::vector<forecast::Regimen> regimens = Candidates(request);
        for (const forecast::Regimen& regimen : regimens) CheckRegimen(request, regimen, dose.target, loading);
        const forecast::Regimen& regimen = request.regimen;
        if (request.at >= 0 && dose.target.kind != forecast::TargetKind::Peak)
            throw UsageError("--at is the time of a peak target (--target peak=...)");
        if (request.at >= 0 && regimen.steadyState)
            throw UsageError(
                "--at: a peak at a given time is no steady-state target; leave out --steady-state or --at");
        if (request.at >= 0 && request.at < regimen.start)
            throw UsageError(fmt::format("--at {:g}: before the regimen's start ({:g})", request.at, regimen.start));
        if (request.round < 0) throw UsageError("--round must not be negative");
        MapResult& map = dose.map;
        map.seed = request.map.seed;
        map.logAxis = request.map.logAxis;
        detail::LoadPrior(request.map, map);
        detail::LoadPatient(request.map, map);
        double lastLevel = -1e300, largest = 0;
        for (const DataRow& row : map.patient.rows) {
            if (row.evid == 0 && !row.missing) lastLevel = std::max(lastLevel, row.time);
            if (row.evid == 1 || row.evid == 4) largest = std::max(largest, row.amount);
        }
        if (regimen.start < lastLevel)
            throw UsageError(
                fmt::format("--start {:g}: before the patient's last level ({:g}); the regimen proposed "
                            "follows the levels",
                            regimen.start, lastLevel));
        Bounds bounds{request.minDose, request.maxDose >= 0 ? request.maxDose : 10 * largest, largest};
        if (bounds.lowest < 0 || !(bounds.highest > bounds.lowest))
            throw UsageError(fmt::format("--min-dose {:g} and --max-dose {:g}: expected 0 <= min < max", bounds.lowest,
                                         bounds.highest));

        reporter.Status("searching the posterior");
        detail::HistoryPosterior(map, request.map);
        if (!map.posterior.levels)
            map.warnings.push_back("the patient has no level: the dose is the a priori one (eta = 0, omega)");
        reporter.Status("searching the dose");
        std::vector<Weighed> weighed;
        for (const forecast::Regimen& candidate : regimens)
            weighed.push_back(Weigh(map, request, dose.target, candidate, loading, bounds));
        // The highest probability of attainment, ties (within kIntervalTie) to the longest interval.
        double best = -1;
        for (const Weighed& w : weighed)
            if (w.candidate.refusal.empty()) best = std::max(best, w.candidate.probability);
        const Weighed* chosen = nullptr;
        std::string refusals;
        for (const Weighed& w : weighed) {
            dose.candidates.push_back(w.candidate);
            if (!w.candidate.refusal.empty()) {
                refusals += (refusals.empty() ? "" : "; ") +
                            (weighed.size() > 1 ? fmt::format("every {:g}: ", w.candidate.interval) : std::string()) +
                            w.candidate.refusal;
                continue;
            }
            if (w.candidate.probability >= best - kIntervalTie &&
                (chosen == nullptr || w.candidate.interval > chosen->candidate.interval))
                chosen = &w;
        }
        if (chosen == nullptr) throw UsageError(refusals);
        if (weighed.size() < 2) dose.candidates.clear();
        const DoseCandidate& c = chosen->candidate;
        dose.regimen = chosen->searched;
        dose.loading = c.loading;
        dose.unrounded = c.unrounded;
        dose.amount = c.amount;
        dose.exposureUnrounded = c.exposureUnrounded;
        dose.exposure = c.exposure;
        dose.probability = c.probability;
        dose.exposureP5 = c.exposureP5;
        dose.exposureP50 = c.exposureP50;
        dose.exposureP95 = c.exposureP95;
        dose.evaluations = c.evaluations;

        reporter.Status("forecasting");
        map.output = map.model.outputs[chosen->engine->Rows().front().output].name;
        detail::Forecast(*chosen->engine, chosen->design.rows.size(), request.map.draws, request.map.seed, map);
        map.seconds = detail::SecondsSince(start);
        return dose;
    });
}

}  // namespace tessuvan::toolkit
