// What a population estimation (FOCEI) shows: θ, Ω (variance and CV %), σ with standard
// errors, −2LL, AIC, BIC, shrinkage, the correlation of the estimates, the tables with ETAs
// and CWRES, results.json, and the plots of CWRES and of the ETAs.
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fmt/format.h"
#include "results/file_digest.h"
#include "results/report.h"
#include "results/text_file.h"

#ifndef TESSUVAN_VERSION
#define TESSUVAN_VERSION "unknown"
#endif

namespace tessuvan::cli {

namespace {

using estimation::Estimated;
using estimation::FoceiResult;

const FoceiResult& Fit(const ReportContext& context) { return *context.result->focei; }

using population::CvPercent;

std::string Rse(const Estimated& e)
{
    return std::isfinite(e.se) ? FormatRse(e.value, e.se) : (e.fixed ? "fixed" : "-");
}
std::string Se(const Estimated& e) { return std::isfinite(e.se) ? FormatValue(e.se) : "-"; }

std::string ModelText(const ReportContext& context)
{
    std::ifstream file(context.modelPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Now()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::string Settings(const Model& model)
{
    return fmt::format("estimation focei, method {}, precision {}", model.fit.method, FormatValue(model.fit.precision));
}

std::string Cell(double value) { return std::isfinite(value) ? fmt::format("{:.9g}", value) : ""; }

}  // namespace

std::string FoceiTextReport(const ReportContext& context)
{
    const FoceiResult& fit = Fit(context);
    const RunResult& result = *context.result;
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    line(fmt::format("Population estimation (FOCEI) of {} on {}", context.modelPath, context.dataPath));
    line(fmt::format("{} individuals, {} observations; {}; {:.1f} s", context.problem->individuals.size(),
                     fit.observations, Settings(*context.model), context.seconds));
    if (fit.censored > 0)
        line(
            fmt::format("{} of the observations censored (CENS not 0): each enters -2LL as the probability of "
                        "a value beyond its limit (the M3 method), without residuals",
                        fit.censored));
    line(fmt::format("{}: {} ({} evaluations of -2LL, {} simulations of the individuals asked)",
                     estimation::Converged(fit.status) ? "converged" : "NOT converged", fit.summary, fit.evaluations,
                     fit.simulations));
    line("");
    line(fmt::format("  -2LL {:.4f}   AIC {:.4f}   BIC {:.4f}   ({} estimated parameters)", fit.minus2ll, fit.aic,
                     fit.bic, fit.estimatedCount));
    line("");
    line("Typical values (theta)");
    line(fmt::format("  {:<14} {:>12} {:>12} {:>8}", "parameter", "value", "std. error", "RSE"));
    for (const Estimated& e : fit.theta)
        line(fmt::format("  {:<14} {:>12} {:>12} {:>8}", e.name, FormatValue(e.value), Se(e), Rse(e)));
    line("");
    line("Between-subject variability (omega, log-normal)");
    line(fmt::format("  {:<14} {:>12} {:>12} {:>8} {:>8} {:>10}", "parameter", "variance", "std. error", "RSE", "CV",
                     "shrinkage"));
    for (std::size_t e = 0; e < fit.omega.size(); ++e) {
        const Estimated& o = fit.omega[e];
        line(fmt::format("  {:<14} {:>12} {:>12} {:>8} {:>7.1f}% {:>9.1f}%", o.name, FormatValue(o.value), Se(o),
                         Rse(o), CvPercent(o.value), fit.etaShrinkage[Eigen::Index(e)]));
    }
    line("");
    line("Residual error (sigma)");
    for (const Estimated& s : fit.sigma)
        line(fmt::format("  {:<14} {:>12} {:>12} {:>8}   ({})", s.name, FormatValue(s.value), Se(s), Rse(s),
                         s.name == "additive" ? "SD, units of the observations" : "fraction of the prediction"));
    line(fmt::format("  epsilon shrinkage {:.1f}%", fit.epsilonShrinkage));
    line("");
    if (fit.covarianceDone) {
        line(fmt::format("Correlation of the estimates (covariance step R^-1; condition number {:.4g})",
                         fit.conditionNumber));
        std::string header = fmt::format("  {:<20}", "");
        for (std::size_t b = 0; b < fit.correlationNames.size(); ++b) header += fmt::format(" {:>7}", b + 1);
        line(header);
        for (std::size_t a = 0; a < fit.correlationNames.size(); ++a) {
            std::string row = fmt::format("  {:<17}{:>3}", fit.correlationNames[a], a + 1);
            for (std::size_t b = 0; b <= a; ++b)
                row += fmt::format(" {:>7.3f}", fit.correlation(Eigen::Index(a), Eigen::Index(b)));
            line(row);
        }
        if (!fit.covarianceMessage.empty()) line("  " + fit.covarianceMessage);
    } else {
        line("No covariance step: " + fit.covarianceMessage);
    }
    line("");
    line("Individuals (ETA at the mode, and the individual values)");
    std::string header = fmt::format("  {:<8}", "ID");
    for (const Estimated& o : fit.omega) header += fmt::format(" {:>12}", "ETA_" + o.name);
    for (const ParameterSpec& p : context.model->parameters) header += fmt::format(" {:>12}", p.name);
    line(header);
    for (std::size_t i = 0; i < context.problem->individuals.size(); ++i) {
        std::string row = fmt::format("  {:<8}", context.problem->individuals[i].id);
        for (Eigen::Index e = 0; e < fit.eta[i].size(); ++e) row += fmt::format(" {:>12.5f}", fit.eta[i][e]);
        for (double value : result.values.individual[i]) row += fmt::format(" {:>12}", FormatValue(value));
        line(row);
    }
    if (!result.warnings.empty()) {
        line("");
        line("Warnings");
        for (const std::string& warning : result.warnings) line("  " + warning);
    }
    line("");
    line(fmt::format("Run: tessuvan {} on {}", TESSUVAN_VERSION, Now()));
    line("Model file:");
    std::istringstream model(ModelText(context));
    for (std::string text; std::getline(model, text);) line("  | " + text);
    return out;
}

void WriteFoceiCsvFiles(const ReportContext& context, const std::filesystem::path& folder)
{
    const FoceiResult& fit = Fit(context);
    const RunResult& result = *context.result;
    const EngineProblem& problem = *context.problem;
    {
        TextFile out(folder / "population.csv");
        out << "kind,parameter,value,standard_error,rse_percent,fixed\n";
        auto row = [&](const char* kind, const Estimated& e) {
            out << kind << "," << e.name << "," << Cell(e.value) << "," << Cell(e.se) << ","
                << (std::isfinite(e.se) ? Cell(100 * e.se / e.value) : "") << "," << (e.fixed ? "yes" : "no") << "\n";
        };
        for (const Estimated& e : fit.theta) row("theta", e);
        for (const Estimated& e : fit.omega) row("omega", e);
        for (const Estimated& e : fit.sigma) row("sigma", e);
        out.Close();
    }
    {
        TextFile out(folder / "individuals.csv");
        out << "ID";
        for (const Estimated& o : fit.omega) out << ",ETA_" << o.name;
        for (const ParameterSpec& p : context.model->parameters) out << "," << p.name;
        out << "\n";
        for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
            out << problem.individuals[i].id;
            for (Eigen::Index e = 0; e < fit.eta[i].size(); ++e) out << "," << Cell(fit.eta[i][e]);
            for (double value : result.values.individual[i]) out << "," << Cell(value);
            out << "\n";
        }
        out.Close();
    }
    {
        TextFile out(folder / "predictions.csv");
        out << "ID,TIME,OUTPUT,DV,PRED,IPRED,WRES,IWRES,CWRES,LINE\n";
        for (const Observation& o : result.observations)
            out << problem.individuals[o.individual].id << "," << Cell(o.time) << ","
                << context.model->outputs[o.output].name << "," << Cell(o.dv) << "," << Cell(o.pred) << ","
                << Cell(o.ipred) << "," << Cell(o.wres) << "," << Cell(o.iwres) << "," << Cell(o.cwres) << "," << o.line
                << "\n";
        out.Close();
    }
}

// results.json: the estimates one a line, the rest of a member on the line of its name.
using population::JsonBreak;
constexpr population::JsonLine kResultsLines[] = {{"", 2, JsonBreak::EntriesAndClosing},
                                                  {"theta", 4, JsonBreak::EntriesAndClosing},
                                                  {"omega", 4, JsonBreak::EntriesAndClosing},
                                                  {"sigma", 4, JsonBreak::EntriesAndClosing},
                                                  {"correlation.matrix", 4, JsonBreak::Entries},
                                                  {"individuals", 4, JsonBreak::EntriesAndClosing},
                                                  {"run.model", 4, JsonBreak::Member}};

void WriteResultsJson(const ReportContext& context, const std::filesystem::path& folder)
{
    using Json = nlohmann::ordered_json;
    const FoceiResult& fit = Fit(context);
    const RunResult& result = *context.result;
    const Model& model = *context.model;
    Json j = {{"estimation", "focei"},
              {"converged", estimation::Converged(fit.status)},
              {"message", fit.summary},
              {"minus_2ll", fit.minus2ll},
              {"aic", fit.aic},
              {"bic", fit.bic},
              {"n_observations", fit.observations},
              {"n_individuals", context.problem->individuals.size()},
              {"n_estimated", fit.estimatedCount},
              {"n_censored", fit.censored},
              {"censored_method", "M3"}};
    population::AddPopulationMembers(j, fit.theta, fit.omega, fit.sigma);
    // A member by the names of Ω: the values of one η each.
    const auto byEta = [&fit](const auto& value) {
        Json members = Json::object();
        for (std::size_t e = 0; e < fit.omega.size(); ++e) members[fit.omega[e].name] = value(Eigen::Index(e));
        return members;
    };
    j["shrinkage"] = {{"eta", byEta([&](Eigen::Index e) { return fit.etaShrinkage[e]; })},
                      {"epsilon", fit.epsilonShrinkage}};
    j["covariance_step"] = fit.covarianceDone
                               ? (fit.covarianceMessage.empty() ? "R^-1" : "R^-1; " + fit.covarianceMessage)
                               : "failed: " + fit.covarianceMessage;
    Json matrix = Json::array();
    for (Eigen::Index a = 0; a < fit.correlation.rows(); ++a) {
        Json& row = matrix.emplace_back(Json::array());
        for (Eigen::Index b = 0; b < fit.correlation.cols(); ++b) row.push_back(fit.correlation(a, b));
    }
    j["correlation"] = {{"names", fit.correlationNames}, {"matrix", matrix}};
    j["condition_number"] = fit.covarianceDone ? Json(fit.conditionNumber) : Json(nullptr);
    Json& individuals = j["individuals"] = Json::array();
    for (std::size_t i = 0; i < context.problem->individuals.size(); ++i) {
        Json parameters = Json::object();
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            parameters[model.parameters[p].name] = result.values.individual[i][p];
        individuals.push_back({{"id", context.problem->individuals[i].id},
                               {"eta", byEta([&](Eigen::Index e) { return fit.eta[i][e]; })},
                               {"parameters", parameters}});
    }
    j["run"] = {{"tool", "tessuvan"},
                {"version", TESSUVAN_VERSION},
                {"date", Now()},
                {"model_file", context.modelPath},
                {"data_file", context.dataPath},
                {"data_digest", FileDigest(context.dataPath)},
                {"settings", Settings(model)},
                {"evaluations", fit.evaluations},
                {"simulations", fit.simulations},
                {"seconds", context.seconds},
                {"warnings", result.warnings},
                {"model", ModelText(context)}};
    WriteTextFile(folder / "results.json", population::JsonText(j, kResultsLines) + "\n");
}

void AddFoceiPlots(const ReportContext& context, std::ostream& gp, const std::filesystem::path& folder,
                   const std::filesystem::path& scratch, std::vector<std::string>& files)
{
    const FoceiResult& fit = Fit(context);
    const std::filesystem::path residuals = scratch / "cwres.dat";
    const std::filesystem::path etas = scratch / "etas.dat";
    {
        TextFile out(residuals);
        for (const Observation& o : context.result->observations)
            if (std::isfinite(o.cwres)) out << fmt::format("{:.9g} {:.9g} {:.9g}\n", o.time, o.pred, o.cwres);
        out.Close();
        TextFile eta(etas);
        for (const Eigen::VectorXd& e : fit.eta) {
            for (Eigen::Index k = 0; k < e.size(); ++k) eta << fmt::format("{}{:.9g}", k ? " " : "", e[k]);
            eta << "\n";
        }
        eta.Close();
    }
    files.push_back("cwres.png");
    gp << "set terminal pngcairo enhanced size 1400,600 font 'Sans,11'\n"
       << "set output '" << (folder / files.back()).string() << "'\n"
       << "set multiplot layout 1,2 title 'Conditional weighted residuals (CWRES)'\nset key off\nset title ''\n"
       << "set ylabel 'CWRES'\nset xlabel 'time'\n"
       << "plot '" << residuals.string()
       << "' using 1:3 with points pt 7 ps 0.7 lc rgb '#1f77b4', 0 with lines lc rgb 'gray40'\n"
       << "set xlabel 'population prediction (PRED)'\n"
       << "plot '" << residuals.string()
       << "' using 2:3 with points pt 7 ps 0.7 lc rgb '#d62728', 0 with lines lc rgb 'gray40'\n"
       << "unset multiplot\n";
    if (fit.omega.empty()) return;
    files.push_back("etas.png");
    const std::size_t q = fit.omega.size();
    gp << "set terminal pngcairo enhanced size " << 450 * q + 100 << ",450 font 'Sans,11'\n"
       << "set output '" << (folder / files.back()).string() << "'\n"
       << "set multiplot layout 1," << q << " title 'ETA of every individual at its mode'\nset key off\n"
       << "set xlabel 'individual (in data order)'\n";
    for (std::size_t e = 0; e < q; ++e)
        gp << "set title 'ETA_" << fit.omega[e].name << "  (omega " << FormatValue(std::sqrt(fit.omega[e].value))
           << " = SD)'\nset ylabel 'ETA'\n"
           << "plot '" << etas.string() << "' using 0:" << e + 1
           << " with impulses lw 2 lc rgb '#2ca02c', 0 with lines lc rgb 'gray40'\n";
    gp << "unset multiplot\n";
}

}  // namespace tessuvan::cli
