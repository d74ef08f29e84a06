// What `map` and `dose` write: results.json, the tables as CSV files, report.txt and the plot of
// the forecast (levels, the a priori and the a posteriori curves with their 90 % bands).

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "fmt/format.h"
#include "results/output_folder.h"
#include "results/report.h"
#include "results/text_file.h"
#include "toolkit/forecast.h"
#include "toolkit/guarded.h"

namespace tessuvan::toolkit {

using namespace tessuvan::cli;

namespace {

using detail::Guarded;
using detail::Reporter;

constexpr const char* kMethod =
    "MAP: the mode of the posterior of eta given the levels (the FOCEI individual objective, Newton steps with "
    "the exact Hessian K); covariance 2 K^-1 at the mode (Laplace); forecast percentiles over draws of eta from "
    "N(eta_hat, 2 K^-1), the a priori ones over draws from N(0, Omega)";

constexpr const char* kResampled =
    "; with sampling-importance resampling: the posterior draws are drawn again, with replacement, from 10 times "
    "as many draws of that normal, each weighted by the posterior's density over the normal's";

std::string Number(double value) { return std::isfinite(value) ? fmt::format("{:.10g}", value) : ""; }

// A value for results.json: nlohmann writes a non-finite double as null.
double Json(double value) { return std::isfinite(value) ? value : std::nan(""); }

nlohmann::ordered_json MapJson(const MapResult& map, const char* tool)
{
    nlohmann::ordered_json j;
    j["tool"] = tool;
    j["prior"] = map.priorPath;
    j["prior_kind"] = map.priorIsFit ? "FOCEI fit" : "model file";
    j["patient_file"] = map.patientPath;
    j["id"] = map.id;
    j["output"] = map.output;
    j["levels"] = map.levels.size();
    j["method"] = map.sir ? std::string(kMethod) + kResampled : std::string(kMethod);
    if (map.sir) j["sir"] = {{"proposals", map.proposals}, {"effective_size", Json(map.effectiveSize)}};
    const forecast::Posterior& p = map.posterior;
    std::vector<std::string> names;
    for (std::size_t e = 0; e < map.prior.etas.size(); ++e) {
        names.push_back(map.prior.etas[e].name);
        j["eta"][map.prior.etas[e].name] = Json(p.eta[Eigen::Index(e)]);
    }
    for (std::size_t k = 0; k < map.model.parameters.size(); ++k)
        j["parameters"][map.model.parameters[k].name] = Json(p.values[Eigen::Index(k)]);
    for (std::size_t k = 0; k < map.model.parameters.size(); ++k)
        j["parameter_se"][map.model.parameters[k].name] = Json(p.valueSe[Eigen::Index(k)]);
    j["eta_covariance"]["names"] = names;
    nlohmann::ordered_json matrix = nlohmann::ordered_json::array();
    for (Eigen::Index r = 0; r < p.covariance.rows(); ++r) {
        std::vector<double> row;
        for (Eigen::Index c = 0; c < p.covariance.cols(); ++c) row.push_back(Json(p.covariance(r, c)));
        matrix.push_back(row);
    }
    j["eta_covariance"]["matrix"] = matrix;
    j["objective"] = Json(p.objective);
    j["converged"] = p.converged;
    j["observations"] = nlohmann::ordered_json::array();
    for (const LevelRow& level : map.levels)
        j["observations"].push_back({{"TIME", level.time},
                                     {"DV", level.dv},
                                     {"CENS", level.censored},
                                     {"PRED", Json(level.pred)},
                                     {"IPRED", Json(level.ipred)}});
    j["draws"] = map.draws;
    j["seed"] = map.seed;
    j["forecast"] = nlohmann::ordered_json::array();
    for (const ForecastRow& row : map.forecast)
        j["forecast"].push_back({{"TIME", row.time},
                                 {"PRED", Json(row.pred)},
                                 {"IPRED", Json(row.ipred)},
                                 {"IPRED_P5", Json(row.ipredP5)},
                                 {"IPRED_P50", Json(row.ipredP50)},
                                 {"IPRED_P95", Json(row.ipredP95)},
                                 {"PRIOR_P5", Json(row.priorP5)},
                                 {"PRIOR_P50", Json(row.priorP50)},
                                 {"PRIOR_P95", Json(row.priorP95)}});
    j["warnings"] = map.warnings;
    return j;
}

void WriteTables(const MapResult& map, const std::filesystem::path& folder)
{
    const forecast::Posterior& p = map.posterior;
    std::ostringstream parameters;
    parameters << "parameter,value,se,eta,eta_sd\n";
    for (std::size_t k = 0; k < map.model.parameters.size(); ++k) {
        std::string eta, sd;
        for (std::size_t e = 0; e < map.prior.etas.size(); ++e)
            if (map.prior.etas[e].parameter == k) {
                eta = Number(p.eta[Eigen::Index(e)]);
                sd = Number(std::sqrt(p.covariance(Eigen::Index(e), Eigen::Index(e))));
            }
        parameters << map.model.parameters[k].name << "," << Number(p.values[Eigen::Index(k)]) << ","
                   << Number(p.valueSe[Eigen::Index(k)]) << "," << eta << "," << sd << "\n";
    }
    WriteTextFile(folder / "parameters.csv", parameters.str());
    std::ostringstream levels;
    levels << "TIME,DV,CENS,PRED,IPRED\n";
    for (const LevelRow& level : map.levels)
        levels << Number(level.time) << "," << Number(level.dv) << "," << level.censored << "," << Number(level.pred)
               << "," << Number(level.ipred) << "\n";
    WriteTextFile(folder / "observations.csv", levels.str());
    std::ostringstream table;
    table << "TIME,PRED,IPRED,IPRED_P5,IPRED_P50,IPRED_P95,PRIOR_P5,PRIOR_P50,PRIOR_P95\n";
    for (const ForecastRow& row : map.forecast)
        table << Number(row.time) << "," << Number(row.pred) << "," << Number(row.ipred) << "," << Number(row.ipredP5)
              << "," << Number(row.ipredP50) << "," << Number(row.ipredP95) << "," << Number(row.priorP5) << ","
              << Number(row.priorP50) << "," << Number(row.priorP95) << "\n";
    WriteTextFile(folder / "forecast.csv", table.str());
}

std::string MapReport(const MapResult& map)
{
    std::ostringstream out;
    const forecast::Posterior& p = map.posterior;
    out << "Bayesian forecast of patient " << map.id << " (" << map.patientPath << ")\n"
        << "Prior: " << (map.priorIsFit ? "the FOCEI fit " : "the model file ") << map.priorPath << "\n\n";
    if (!p.levels)
        out << "The patient has no level: every figure below is the a priori one (eta = 0, the population's "
               "variability).\n\n";
    else
        out << fmt::format("{} level(s); -2 log posterior at the mode {:.6f}{}\n\n", map.levels.size(), p.objective,
                           p.converged ? "" : " (short of the mode: see the warning)");
    out << fmt::format("{:<12} {:>12} {:>12} {:>10} {:>10}\n", "parameter", "value", "SE", "eta", "eta SD");
    for (std::size_t k = 0; k < map.model.parameters.size(); ++k) {
        std::string eta, sd;
        for (std::size_t e = 0; e < map.prior.etas.size(); ++e)
            if (map.prior.etas[e].parameter == k) {
                eta = fmt::format("{:.4f}", p.eta[Eigen::Index(e)]);
                sd = fmt::format("{:.4f}", std::sqrt(p.covariance(Eigen::Index(e), Eigen::Index(e))));
            }
        out << fmt::format("{:<12} {:>12.5g} {:>12.3g} {:>10} {:>10}\n", map.model.parameters[k].name,
                           p.values[Eigen::Index(k)], p.valueSe[Eigen::Index(k)], eta, sd);
    }
    if (!map.levels.empty()) {
        out << fmt::format("\n{:>10} {:>10} {:>10} {:>10}\n", "TIME", "DV", "PRED", "IPRED");
        for (const LevelRow& level : map.levels)
            out << fmt::format("{:>10.4g} {:>10.4g} {:>10.4g} {:>10.4g}{}\n", level.time, level.dv, level.pred,
                               level.ipred, level.censored ? (level.censored > 0 ? " (below)" : " (above)") : "");
    }
    out << fmt::format(
        "\nForecast of {} to {:g}: the 90 % interval (5th to 95th percentile) of the predicted concentration over "
        "{} draws of eta from {} is where the patient's concentration is expected to lie, given the model and the "
        "levels, residual error aside; the a priori interval draws eta from omega (seed {}).\n",
        map.output, map.forecast.empty() ? 0.0 : map.forecast.back().time, map.draws,
        map.sir ? fmt::format("the posterior (sampling-importance resampling of {} draws of its normal approximation, "
                              "effective size {:.0f})",
                              map.proposals, map.effectiveSize)
                : std::string("the posterior's normal approximation (Laplace)"),
        map.seed);
    for (const std::string& warning : map.warnings) out << "Warning: " << warning << "\n";
    return out.str();
}

// The log axis of --log: from a thousandth of the highest band (or the lowest positive value
// above it), so that the bands' near-zero start does not stretch the axis over decades.
std::string LogAxis(const MapResult& map)
{
    if (!map.logAxis) return "";
    double highest = 0, lowest = std::numeric_limits<double>::infinity();
    for (const ForecastRow& row : map.forecast) highest = std::max({highest, row.ipredP95, row.priorP95});
    for (const LevelRow& level : map.levels) highest = std::max(highest, level.dv);
    if (!(highest > 0)) return "set logscale y\n";
    for (const ForecastRow& row : map.forecast)
        for (const double value : {row.ipredP5, row.priorP5})
            if (value >= 1e-3 * highest) lowest = std::min(lowest, value);
    for (const LevelRow& level : map.levels)
        if (level.dv > 0) lowest = std::min(lowest, level.dv);
    return fmt::format("set logscale y\nset yrange [{:.6g}:*]\n", 0.8 * std::min(lowest, highest));
}

// The first line of forecast.csv drawn: after the header, and on a log axis after the times
// before any drug (every curve 0), whose bands would be drawn from the axis's foot.
std::size_t FirstDrawn(const MapResult& map)
{
    std::size_t first = 0;
    if (map.logAxis)
        while (first + 1 < map.forecast.size()) {
            const ForecastRow& row = map.forecast[first];
            if (row.pred > 0 && row.ipred > 0 && row.ipredP5 > 0 && row.priorP5 > 0) break;
            ++first;
        }
    return first + 1;
}

// forecast.png; a warning when gnuplot cannot draw it.
bool Plot(const MapResult& map, const OutputFolder& output, const std::string& title, const Reporter& reporter)
{
    const std::filesystem::path& folder = output.staging();
    const std::filesystem::path& scratch = output.work();
    std::ostringstream gp;
    gp << "set terminal pngcairo enhanced size 1000,600 font 'Sans,11'\n"
       << "set output " << cli::GnuplotQuoted((folder / "forecast.png").string()) << "\n"
       << "set datafile separator ','\nset key top right box opaque\n"
       << "set title " << cli::GnuplotQuoted(title) << " noenhanced\n"
       << "set xlabel 'time'\nset ylabel " << cli::GnuplotQuoted(map.output) << " noenhanced\n"
       << LogAxis(map) << "f = " << cli::GnuplotQuoted((folder / "forecast.csv").string()) << "\n"
       << "o = " << cli::GnuplotQuoted((folder / "observations.csv").string()) << "\n"
       << fmt::format(
              "plot f every ::{0} using 1:7:9 with filledcurves lc rgb '#c6dbef' title 'a priori 90 %', "
              "f every ::{0} using 1:4:6 with filledcurves lc rgb '#fdd0a2' fs transparent solid 0.7 title "
              "'a posteriori 90 %', f every ::{0} using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'a priori "
              "(PRED)', f every ::{0} using 1:3 with lines lw 2 lc rgb '#d94801' title 'a posteriori (IPRED)'",
              FirstDrawn(map));
    if (!map.levels.empty()) gp << ", o every ::1 using 1:2 with points pt 7 ps 1.5 lc rgb 'black' title 'levels'";
    gp << "\n";
    try {
        WriteTextFile(scratch / "forecast.gp", gp.str());
        RunGnuplot(scratch / "forecast.gp", scratch / "gnuplot.log");
        return true;
    } catch (const WriteFailure&) {
        throw;
    } catch (const std::exception& error) {
        reporter.Warning("no forecast.png: " + output.Shown(error.what()));
        return false;
    }
}

constexpr const char* kLoadingRule =
    "auto: the maintenance dose times the accumulation ratio R = C_ss(II) / C_1(II) of the patient's MAP "
    "forecast (the concentration at the end of an interval at steady state over that after a single dose), "
    "rounded as the maintenance dose";

constexpr const char* kIntervalRule =
    "each interval over the span of --doses times the longest; chosen: the highest probability of attaining the "
    "target at the rounded dose, candidates within 0.05 of it tied, the longest of those";

nlohmann::ordered_json CandidatesJson(const DoseResult& dose)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    const char* kind = forecast::TargetName(dose.target.kind);
    for (const DoseCandidate& c : dose.candidates) {
        nlohmann::ordered_json row{{"interval", c.interval}, {"doses", c.doses}};
        if (!c.refusal.empty()) {
            row["refused"] = c.refusal;
        } else {
            row["amount"] = c.amount;
            row["unrounded"] = c.unrounded;
            if (c.loading > 0) row["loading"] = c.loading;
            row["predicted"] = {{kind, Json(c.exposure)}};
            row["predicted_percentiles"] = {
                {"P5", Json(c.exposureP5)}, {"P50", Json(c.exposureP50)}, {"P95", Json(c.exposureP95)}};
            row["probability_of_target"] = Json(c.probability);
        }
        row["chosen"] = c.refusal.empty() && c.interval == dose.regimen.interval;
        rows.push_back(row);
    }
    return rows;
}

// The loading dose and the candidate intervals, when asked for.
std::string DoseChoices(const DoseResult& dose)
{
    std::string out;
    if (dose.loading > 0)
        out += dose.regimen.loadingRatio > 0
                   ? fmt::format(
                         "Loading dose: {:g} as the first dose (the maintenance dose times the accumulation "
                         "ratio {:.4g} of the patient's forecast, C_ss(II) / C_1(II))\n",
                         dose.loading, dose.regimen.loadingRatio)
                   : fmt::format("Loading dose: {:g} as the first dose\n", dose.loading);
    if (dose.candidates.empty()) return out + (out.empty() ? "" : "\n");
    out +=
        "\nIntervals weighed (each over the same span; chosen: the highest probability of attaining the target, "
        "within 5 points of it the longest interval)\n";
    out += fmt::format("  {:>8} {:>6} {:>10} {:>10} {:>12} {:>12}\n", "interval", "doses", "dose", "loading",
                       forecast::TargetName(dose.target.kind), "P(target)");
    for (const DoseCandidate& c : dose.candidates) {
        if (!c.refusal.empty()) {
            out += fmt::format("  {:>8g} {:>6} {}\n", c.interval, c.doses, c.refusal);
            continue;
        }
        out += fmt::format("  {:>8g} {:>6} {:>10g} {:>10} {:>12.4g} {:>11.1f}%{}\n", c.interval, c.doses, c.amount,
                           c.loading > 0 ? fmt::format("{:g}", c.loading) : "-", c.exposure, 100 * c.probability,
                           c.interval == dose.regimen.interval ? "  chosen" : "");
    }
    return out + "\n";
}

}  // namespace

Written WriteInto(const MapResult& map, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        reporter.Status("writing the results");
        WriteTables(map, folder.staging());
        WriteTextFile(folder.staging() / "results.json", MapJson(map, "tessuvan map").dump(2) + "\n");
        const std::string report = MapReport(map);
        WriteTextFile(folder.staging() / "report.txt", report);
        std::vector<std::string> files{"results.json", "report.txt", "parameters.csv", "observations.csv",
                                       "forecast.csv"};
        if (Plot(map, folder, "Patient " + map.id, reporter)) files.push_back("forecast.png");
        folder.Commit();
        return Written{folder.target(), files, report, report};
    });
}

Written Write(const MapResult& map, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(map, folder, callbacks);
}

Written WriteInto(const DoseResult& dose, OutputFolder& folder, const Callbacks& callbacks)
{
    return Guarded([&] {
        const Reporter reporter(callbacks);
        reporter.Status("writing the results");
        const MapResult& map = dose.map;
        const forecast::Regimen& regimen = dose.regimen;
        const char* kind = forecast::TargetName(dose.target.kind);
        WriteTables(map, folder.staging());
        nlohmann::ordered_json j = MapJson(map, "tessuvan dose");
        nlohmann::ordered_json proposed;
        proposed["amount"] = dose.amount;
        proposed["unrounded"] = dose.unrounded;
        proposed["interval"] = regimen.interval;
        proposed["doses"] = regimen.doses;
        proposed["start"] = regimen.start;
        proposed["infusion"] = regimen.infusion;
        proposed["steady_state"] = regimen.steadyState;
        if (dose.loading > 0)
            proposed["loading"] = {
                {"amount", dose.loading},
                {"rule", regimen.loadingRatio > 0 ? kLoadingRule : "given (--loading)"},
                {"accumulation_ratio", Json(regimen.loadingRatio > 0 ? regimen.loadingRatio : std::nan(""))}};
        if (!dose.candidates.empty()) {
            proposed["interval_rule"] = kIntervalRule;
            proposed["candidates"] = CandidatesJson(dose);
        }
        j["dose"] = proposed;
        j["target"] = {{"kind", kind}, {"low", dose.target.low}, {"high", dose.target.high}};
        if (dose.target.at >= 0) j["target"]["at"] = dose.target.at;
        j["predicted"][kind] = Json(dose.exposure);
        j["predicted_unrounded"][kind] = Json(dose.exposureUnrounded);
        j["predicted_percentiles"] = {
            {"P5", Json(dose.exposureP5)}, {"P50", Json(dose.exposureP50)}, {"P95", Json(dose.exposureP95)}};
        j["probability_of_target"] = Json(dose.probability);
        WriteTextFile(folder.staging() / "results.json", j.dump(2) + "\n");
        std::ostringstream report;
        report << fmt::format(
            "Proposed dose: {:g} every {:g} from {:g}, {} doses{}{}\n"
            "Target: {} {}\n"
            "Forecast {} at {:g}: {:.4g} (90 % interval {:.4g} to {:.4g}); at the unrounded {:.6g}: {:.6g}\n"
            "Probability of attaining the target over {} posterior draws: {:.1f} %{}\n\n",
            dose.amount, regimen.interval, regimen.start, regimen.doses,
            regimen.infusion > 0 ? fmt::format(", each infused over {:g}", regimen.infusion) : std::string(),
            regimen.steadyState ? ", at steady state" : "", kind,
            dose.target.Range() ? fmt::format("{:g} to {:g}", dose.target.low, dose.target.high)
                                : fmt::format("{:g}", dose.target.low),
            kind, dose.amount, dose.exposure, dose.exposureP5, dose.exposureP95, dose.unrounded, dose.exposureUnrounded,
            map.draws, 100 * dose.probability, dose.target.Range() ? " (within the range)" : " (at least the value)");
        report << DoseChoices(dose);
        report << MapReport(map);
        WriteTextFile(folder.staging() / "report.txt", report.str());
        std::vector<std::string> files{"results.json", "report.txt", "parameters.csv", "observations.csv",
                                       "forecast.csv"};
        if (Plot(map, folder, fmt::format("Patient {}: {:g} every {:g}", map.id, dose.amount, regimen.interval),
                 reporter))
            files.push_back("forecast.png");
        folder.Commit();
        return Written{folder.target(), files, report.str(), report.str()};
    });
}

Written Write(const DoseResult& dose, const std::filesystem::path& folder, const Callbacks& callbacks)
{
    return detail::WriteIntoNewFolder(dose, folder, callbacks);
}

}  // namespace tessuvan::toolkit
