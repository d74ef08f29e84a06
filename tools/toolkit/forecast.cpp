// Bayesian forecasting for one patient: the prior read and checked, the patient's rows read
// and checked, the posterior and the forecasts (the dose: forecast_dose.cpp).

#include "toolkit/forecast.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>

#include "data/derived_covariates.h"
#include "engine/engine_codes.h"
#include "fmt/format.h"
#include "forecast/patient_engine.h"
#include "runs/result_check.h"
#include "runs/run_replicates.h"
#include "toolkit/forecast_parts.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;
using Eigen::VectorXd;

namespace {

using detail::Guarded;
using detail::Reporter;

constexpr int kMostPoints = 1000;
// The integration precision of the forecast's grid, when the model asks for a finer one: the
// posterior's search keeps the model's (its derivatives are differences of predictions), but the
// percentiles of a few hundred draws carry a Monte Carlo error of a few per cent, which an
// integration error of 1e-6 does not move, and each draw costs a third less.
constexpr double kForecastPrecision = 1e-6;

cli::Model ForGrid(cli::Model model)
{
    model.fit.precision = std::max(model.fit.precision, kForecastPrecision);
    return model;
}

}  // namespace

namespace detail {

void LoadPrior(const MapRequest& request, MapResult& map)
{
    map.priorPath = request.prior.string();
    std::string resultsFile;
    if (std::filesystem::is_directory(request.prior)) {
        map.priorIsFit = true;
        const nlohmann::json results = ReadFitResults(request.prior);
        resultsFile = (request.prior / "results.json").string();
        if (!results.contains("run") || !results["run"].contains("model") || !results["run"]["model"].is_string())
            throw ModelError(resultsFile + ": holds no model text (run.model)");
        map.model = ParseModel(results["run"]["model"].get<std::string>(), resultsFile + " (run.model)");
        try {
            map.prior = VariabilityOf(map.model, &results);
        } catch (const nlohmann::json::exception& error) {
            throw ModelError(resultsFile + ": not the results of a population estimation (" + error.what() + ")");
        } catch (const ModelError& error) {
            const std::string message = error.what(), bare = "results.json: ";
            if (message.rfind(bare, 0) != 0) throw;
            throw ModelError(resultsFile + ": " + message.substr(bare.size()));
        }
    } else {
        map.model = LoadModel(request.prior);
        map.prior = VariabilityOf(map.model);
    }
    CheckVariabilityUsable(map.model, map.prior, resultsFile);
    const std::string source = resultsFile.empty() ? map.priorPath : resultsFile;
    if (map.prior.etas.empty())
        throw ModelError(source + ": no parameter has an omega: the prior needs the population's variability");
    if (!(map.prior.error.Variance(1.0) > 0))
        throw ModelError(source + ": no residual error ([error] additive and/or proportional)");
    for (const estimation::ResidualError& error : map.prior.outputErrors)
        if (!(error.Variance(1.0) > 0))
            throw ModelError(source +
                             ": an output without a residual error ([error.NAME] additive and/or proportional)");
    bool exponential = map.prior.error.exponential;
    for (const estimation::ResidualError& error : map.prior.outputErrors)
        exponential = exponential || error.exponential;
    if (exponential)
        throw ModelError(source +
                         ": an exponential residual error: the forecast weighs levels on their own scale "
                         "(additive, proportional or combined errors) only");
    for (const auto& eta : map.prior.etas)
        if (!(map.prior.typical[Eigen::Index(eta.parameter)] > 0))
            throw ModelError(fmt::format("{}: {} = {} has an omega and must be positive", source, eta.name,
                                         map.prior.typical[Eigen::Index(eta.parameter)]));
}

void LoadPatient(const MapRequest& request, MapResult& map)
{
    map.patientPath = request.patient.string();
    DataSet data = ReadDataSet(request.patient, detail::CovariateColumns(map.model));
    AddDerivedCovariates(map.model, data);
    std::set<std::string> ids;
    for (const DataRow& row : data.rows) ids.insert(row.id);
    if (ids.empty()) throw DataError(map.patientPath + ": no rows");
    if (!request.id.empty()) {
        if (!ids.count(request.id)) throw UsageError("--id " + request.id + ": no such ID in " + map.patientPath);
        std::erase_if(data.rows, [&](const DataRow& row) { return row.id != request.id; });
    } else if (ids.size() > 1) {
        throw UsageError(
            fmt::format("{} holds {} individuals: choose the patient with --id", map.patientPath, ids.size()));
    }
    map.id = data.rows.front().id;
    const auto isDose = [](const DataRow& row) { return (row.evid == 1 || row.evid == 4) && row.amount > 0; };
    const auto firstDose = std::find_if(data.rows.begin(), data.rows.end(), isDose);
    if (firstDose == data.rows.end())
        throw DataError(map.patientPath + ": the patient's history has no dose (EVID 1 with AMT > 0)");
    for (auto row = data.rows.begin(); row != firstDose; ++row)
        if (row->evid == 0 && !row->missing && row->dv && row->censored == 0 && row->time <= firstDose->time)
            throw DataError(data.Where(row->line, data.timeColumn, "TIME") +
                            fmt::format(": a level before the first dose (at {:g}): the model cannot explain a "
                                        "concentration before any drug was given",
                                        firstDose->time));
    for (const DataRow& row : data.rows)
        if (row.evid == 0 && !row.missing && row.cmt > 0) {
            map.outputCmt = row.cmt;
            break;
        }
    map.patient = std::move(data);
}

// The row's predictions at each η of `etas`, or false for a draw that cannot be simulated.
std::vector<VectorXd> Simulated(const forecast::Prior& prior, estimation::Simulator& simulator,
                                const std::vector<VectorXd>& etas, int& failed)
{
    std::vector<VectorXd> out;
    std::vector<VectorXd> f(1);
    for (const VectorXd& eta : etas) {
        if (simulator.Predict({forecast::ValuesAt(prior, eta)}, {1}, f) && f[0].allFinite())
            out.push_back(f[0]);
        else
            ++failed;
    }
    return out;
}

VectorXd PredictedAt(const forecast::Prior& prior, forecast::PatientEngine& engine, const VectorXd& eta)
{
    std::vector<VectorXd> f(1);
    if (!engine.Simulator().Predict({forecast::ValuesAt(prior, eta)}, {1}, f) || !f[0].allFinite())
        throw cli::EngineError(EngineStage::Simulation, engine.LastCode());
    return f[0];
}

// The posterior from the engine's levels, and the levels' table.
void Posterior(forecast::PatientEngine& engine, MapResult& map)
{
    const std::vector<Eigen::Index> levels = engine.Levels();
    forecast::RowSubset simulator(engine.Simulator(), levels);
    try {
        map.posterior = forecast::FindPosterior(map.prior, simulator, engine.LevelValues(), engine.LevelCensoring());
    } catch (const forecast::SimulationFailed&) {
        throw cli::EngineError(EngineStage::Simulation, engine.LastCode());
    }
    if (!map.posterior.converged)
        map.warnings.push_back(
            "the posterior's search stopped short of the mode (a Newton step above 1e-6 in eta remains): the "
            "estimates are uncertain beyond their standard errors");
    map.levels.clear();
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const forecast::PredictedRow& row = engine.Rows()[std::size_t(levels[k])];
        map.levels.push_back({row.line, row.time, row.dv, row.censored, map.posterior.pred[Eigen::Index(k)],
                              map.posterior.ipred[Eigen::Index(k)]});
    }
}

// The forecast at the added grid rows (added index ≥ firstGrid) from the posterior and the prior.
void Forecast(forecast::PatientEngine& engine, std::size_t firstGrid, int draws, std::uint64_t seed, MapResult& map)
{
    const Eigen::Index q = Eigen::Index(map.prior.etas.size());
    const Eigen::MatrixXd omega = map.prior.Omega().Matrix();  // its blocks' covariances included
    const VectorXd pred = PredictedAt(map.prior, engine, VectorXd::Zero(q));
    const VectorXd ipred = PredictedAt(map.prior, engine, map.posterior.eta);
    const std::vector<VectorXd> posterior =
        Simulated(map.prior, engine.Simulator(), map.posteriorDraws, map.failedDraws);
    const std::vector<VectorXd> prior = Simulated(
        map.prior, engine.Simulator(), forecast::DrawEtas(VectorXd::Zero(q), omega, draws, seed, 1), map.failedDraws);
    if (posterior.empty() || prior.empty()) throw cli::EngineError(EngineStage::Simulation, engine.LastCode());
    if (map.failedDraws > 0)
        map.warnings.push_back(
            fmt::format("{} of the {} draws could not be simulated and are left out", map.failedDraws, 2 * draws));
    map.draws = draws;
    map.forecast.clear();
    const auto column = [](const std::vector<VectorXd>& sims, Eigen::Index r) {
        std::vector<double> values;
        for (const VectorXd& s : sims) values.push_back(s[r]);
        return values;
    };
    for (std::size_t r = 0; r < engine.Rows().size(); ++r) {
        const forecast::PredictedRow& row = engine.Rows()[r];
        if (row.added < 0 || std::size_t(row.added) < firstGrid) continue;
        const Eigen::Index i = Eigen::Index(r);
        const std::vector<double> a = column(posterior, i), b = column(prior, i);
        map.forecast.push_back({row.time, pred[i], ipred[i], forecast::Quantile(a, 0.05), forecast::Quantile(a, 0.5),
                                forecast::Quantile(a, 0.95), forecast::Quantile(b, 0.05), forecast::Quantile(b, 0.5),
                                forecast::Quantile(b, 0.95)});
    }
}

std::vector<forecast::AddedRow> Grid(double from, double to, int points, int cmt)
{
    std::vector<forecast::AddedRow> rows;
    for (int k = 0; k < points; ++k) {
        forecast::AddedRow row;
        row.time = from + (to - from) * k / std::max(points - 1, 1);
        row.cmt = cmt;
        rows.push_back(row);
    }
    return rows;
}

// Proposals of the resampling per draw kept: enough that the resampled draws repeat few
// proposals while the Laplace normal is near the posterior (an effective size well above the
// draws), at the cost of one simulation of the levels each.
constexpr int kProposalsPerDraw = 10;

// The posterior from an engine of the history alone (the search simulates the levels only;
// a history without levels gets a row of its own, so that it loads), and the posterior draws
// of η: from its normal approximation, or resampled from them by importance (`sir`).
void HistoryPosterior(MapResult& map, const MapRequest& request)
{
    std::vector<forecast::AddedRow> rows;
    const bool levels = std::any_of(map.patient.rows.begin(), map.patient.rows.end(), [](const DataRow& row) {
        return row.evid == 0 && (!row.missing || row.censored != 0);
    });
    if (!levels) rows = Grid(map.patient.rows.front().time, map.patient.rows.front().time + 1, 2, map.outputCmt);
    forecast::PatientEngine history(map.model, map.patient, rows);
    Posterior(history, map);
    map.sir = request.sir && map.posterior.levels;
    if (!map.sir) {
        map.posteriorDraws =
            forecast::DrawEtas(map.posterior.eta, map.posterior.covariance, request.draws, request.seed, 0);
        return;
    }
    forecast::RowSubset levelsOnly(history.Simulator(), history.Levels());
    map.proposals = kProposalsPerDraw * request.draws;
    forecast::Resampled resampled =
        forecast::ResampleEtas(map.prior, levelsOnly, history.LevelValues(), history.LevelCensoring(), map.posterior,
                               request.draws, map.proposals, request.seed, 0);
    if (resampled.draws.empty()) throw cli::EngineError(EngineStage::Simulation, history.LastCode());
    map.posteriorDraws = std::move(resampled.draws);
    map.effectiveSize = resampled.effectiveSize;
    if (map.effectiveSize < request.draws)
        map.warnings.push_back(fmt::format(
            "sampling-importance resampling: the {} proposals weigh as {:.0f} independent draws, fewer than the {} "
            "kept: the posterior is far from its normal approximation and the percentiles repeat few draws",
            map.proposals, map.effectiveSize, request.draws));
}

void CheckCounts(const MapRequest& request)
{
    if (request.draws < 1) throw UsageError("--draws must be at least 1");
    // The engine holds 2,000 points an individual: the history's own times besides.
    if (request.points < 2 || request.points > kMostPoints)
        throw UsageError(fmt::format("--points must be from 2 to {}", kMostPoints));
}

}  // namespace detail

using namespace detail;

MapResult Map(const MapRequest& request, const Callbacks& callbacks)
{
    return Guarded([&] {
        const auto start = std::chrono::steady_clock::now();
        const Reporter reporter(callbacks);
        reporter.Check();
        CheckCounts(request);
        MapResult map;
        map.seed = request.seed;
        map.logAxis = request.logAxis;
        LoadPrior(request, map);
        LoadPatient(request, map);
        const double first = map.patient.rows.front().time;
        const double until = request.until >= 0 ? request.until : map.patient.rows.back().time + 24;
        if (!(until > first))
            throw UsageError(
                fmt::format("--until {:g}: the forecast must end after the patient's first row ({:g})", until, first));
        reporter.Status("searching the posterior");
        HistoryPosterior(map, request);
        forecast::PatientEngine engine(ForGrid(map.model), map.patient,
                                       Grid(first, until, request.points, map.outputCmt));
        map.output = map.model.outputs[engine.Rows().front().output].name;
        if (!map.posterior.levels)
            map.warnings.push_back("the patient has no level: the forecast is the a priori one (eta = 0, omega)");
        reporter.Status("forecasting");
        Forecast(engine, 0, request.draws, request.seed, map);
        map.seconds = detail::SecondsSince(start);
        return map;
    });
}

forecast::Target ParseTarget(const std::string& text)
{
    forecast::Target target;
    const std::size_t equals = text.find('=');
    const std::string kind = text.substr(0, equals), value = equals == std::string::npos ? "" : text.substr(equals + 1);
    if (kind == "trough")
        target.kind = forecast::TargetKind::Trough;
    else if (kind == "peak")
        target.kind = forecast::TargetKind::Peak;
    else if (kind == "auc24")
        target.kind = forecast::TargetKind::Auc24;
    else
        throw UsageError("--target " + text + ": expected trough=VALUE, peak=VALUE or auc24=VALUE (or LOW..HIGH)");
    const auto number = [&](const std::string& cell) {
        char* end = nullptr;
        const double v = std::strtod(cell.c_str(), &end);
        if (cell.empty() || *end != '\0' || !std::isfinite(v) || !(v > 0))
            throw UsageError("--target " + text + ": '" + cell + "' is not a positive number");
        return v;
    };
    const std::size_t dots = value.find("..");
    if (dots == std::string::npos) {
        target.low = target.high = number(value);
    } else {
        target.low = number(value.substr(0, dots));
        target.high = number(value.substr(dots + 2));
        if (!(target.high > target.low))
            throw UsageError("--target " + text + ": a range LOW..HIGH needs LOW below HIGH");
    }
    return target;
}

}  // namespace tessuvan::toolkit
