// What a population estimation (FOCEI) shows: θ, Ω (variance and CV %), σ with standard
// errors, −2LL, AIC, BIC, shrinkage, the correlation of the estimates, the tables with ETAs
// and CWRES, results.json, and the plots of CWRES and of the ETAs.
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>

#include "fmt/format.h"
#include "results/file_digest.h"
#include "results/report.h"

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

std::string Json(double value) { return population::JsonNumber(value); }

std::string JsonText(const std::string& text) { return population::JsonString(text); }

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
    if (!fit.omegaMatrix.Empty()) {
        // The blocks' covariances, as correlations ρ = Ω_rc / √(Ω_rr Ω_cc).
        line(fmt::format("  {:<14} {:>12} {:>12} {:>12}", "correlated", "covariance", "std. error", "correlation"));
        const population::EstimatedOmega& omega = fit.omegaMatrix;
        for (Eigen::Index r = 0; r < omega.covariance.rows(); ++r)
            for (Eigen::Index c = 0; c < r; ++c) {
                if (omega.covariance(r, c) == 0 && !std::isfinite(omega.se(r, c))) continue;  // independent
                const double rho = omega.covariance(r, c) / std::sqrt(omega.covariance(r, r) * omega.covariance(c, c));
                const Estimated covariance{"", omega.covariance(r, c), omega.se(r, c), false};
                line(fmt::format("  {:<14} {:>12} {:>12} {:>12.4f}",
                                 omega.names[std::size_t(c)] + ":" + omega.names[std::size_t(r)],
                                 FormatValue(covariance.value), Se(covariance), rho));
            }
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
    auto open = [&](const char* name) {
        auto file = std::make_unique<std::ofstream>(folder / name, std::ios::trunc);
        if (!*file) throw std::runtime_error("cannot create " + (folder / name).string());
        return file;
    };
    {
        auto out = open("population.csv");
        *out << "kind,parameter,value,standard_error,rse_percent,fixed\n";
        auto row = [&](const char* kind, const Estimated& e) {
            *out << kind << "," << e.name << "," << Cell(e.value) << "," << Cell(e.se) << ","
                 << (std::isfinite(e.se) ? Cell(100 * e.se / e.value) : "") << "," << (e.fixed ? "yes" : "no") << "\n";
        };
        for (const Estimated& e : fit.theta) row("theta", e);
        for (const Estimated& e : fit.omega) row("omega", e);
        for (const Estimated& e : fit.sigma) row("sigma", e);
        if (!*out) throw std::runtime_error("cannot write population.csv");
    }
    {
        auto out = open("individuals.csv");
        *out << "ID";
        for (const Estimated& o : fit.omega) *out << ",ETA_" << o.name;
        for (const ParameterSpec& p : context.model->parameters) *out << "," << p.name;
        *out << "\n";
        for (std::size_t i = 0; i < problem.individuals.size(); ++i) {
            *out << problem.individuals[i].id;
            for (Eigen::Index e = 0; e < fit.eta[i].size(); ++e) *out << "," << Cell(fit.eta[i][e]);
            for (double value : result.values.individual[i]) *out << "," << Cell(value);
            *out << "\n";
        }
        if (!*out) throw std::runtime_error("cannot write individuals.csv");
    }
    {
        auto out = open("predictions.csv");
        *out << "ID,TIME,OUTPUT,DV,PRED,IPRED,WRES,IWRES,CWRES,LINE\n";
        for (const Observation& o : result.observations)
            *out << problem.individuals[o.individual].id << "," << Cell(o.time) << ","
                 << context.model->outputs[o.output].name << "," << Cell(o.dv) << "," << Cell(o.pred) << ","
                 << Cell(o.ipred) << "," << Cell(o.wres) << "," << Cell(o.iwres) << "," << Cell(o.cwres) << ","
                 << o.line << "\n";
        if (!*out) throw std::runtime_error("cannot write predictions.csv");
    }
}

void WriteResultsJson(const ReportContext& context, const std::filesystem::path& folder)
{
    const FoceiResult& fit = Fit(context);
    const RunResult& result = *context.result;
    const Model& model = *context.model;
    std::string j = "{\n";
    j += "  \"estimation\": \"focei\",\n";
    j += fmt::format("  \"converged\": {},\n", estimation::Converged(fit.status) ? "true" : "false");
    j += fmt::format("  \"message\": {},\n", JsonText(fit.summary));
    j += fmt::format("  \"minus_2ll\": {},\n  \"aic\": {},\n  \"bic\": {},\n", Json(fit.minus2ll), Json(fit.aic),
                     Json(fit.bic));
    j += fmt::format("  \"n_observations\": {},\n  \"n_individuals\": {},\n  \"n_estimated\": {},\n", fit.observations,
                     context.problem->individuals.size(), fit.estimatedCount);
    j += fmt::format("  \"n_censored\": {},\n  \"censored_method\": \"M3\",\n", fit.censored);
    j += population::PopulationJsonMembers(fit.theta, fit.omega, fit.sigma);
    j += population::OmegaMatrixJsonMember(fit.omegaMatrix);
    j += "  \"shrinkage\": {\"eta\": {";
    for (std::size_t e = 0; e < fit.omega.size(); ++e)
        j += fmt::format("{}{}: {}", e ? ", " : "", JsonText(fit.omega[e].name),
                         Json(fit.etaShrinkage[Eigen::Index(e)]));
    j += fmt::format("}}, \"epsilon\": {}}},\n", Json(fit.epsilonShrinkage));
    j += "  \"covariance_step\": " +
         JsonText(fit.covarianceDone ? (fit.covarianceMessage.empty() ? "R^-1" : "R^-1; " + fit.covarianceMessage)
                                     : "failed: " + fit.covarianceMessage) +
         ",\n";
    j += "  \"correlation\": {\"names\": [";
    for (std::size_t a = 0; a < fit.correlationNames.size(); ++a)
        j += (a ? ", " : "") + JsonText(fit.correlationNames[a]);
    j += "], \"matrix\": [";
    for (Eigen::Index a = 0; a < fit.correlation.rows(); ++a) {
        j += a ? ",\n    [" : "\n    [";
        for (Eigen::Index b = 0; b < fit.correlation.cols(); ++b) j += (b ? ", " : "") + Json(fit.correlation(a, b));
        j += "]";
    }
    j += "]},\n";
    j += "  \"condition_number\": " + (fit.covarianceDone ? Json(fit.conditionNumber) : std::string("null")) + ",\n";
    j += "  \"individuals\": [";
    for (std::size_t i = 0; i < context.problem->individuals.size(); ++i) {
        j += fmt::format("{}\n    {{\"id\": {}, \"eta\": {{", i ? "," : "",
                         JsonText(context.problem->individuals[i].id));
        for (std::size_t e = 0; e < fit.omega.size(); ++e)
            j += fmt::format("{}{}: {}", e ? ", " : "", JsonText(fit.omega[e].name), Json(fit.eta[i][Eigen::Index(e)]));
        j += "}, \"parameters\": {";
        for (std::size_t p = 0; p < model.parameters.size(); ++p)
            j += fmt::format("{}{}: {}", p ? ", " : "", JsonText(model.parameters[p].name),
                             Json(result.values.individual[i][p]));
        j += "}}";
    }
    j += "\n  ],\n";
    j += fmt::format(
        "  \"run\": {{\"tool\": \"tessuvan\", \"version\": {}, \"date\": {}, \"model_file\": {}, "
        "\"data_file\": {}, \"data_digest\": {}, \"settings\": {}, \"evaluations\": {}, \"simulations\": {}, "
        "\"seconds\": {}, \"warnings\": [",
        JsonText(TESSUVAN_VERSION), JsonText(Now()), JsonText(context.modelPath), JsonText(context.dataPath),
        JsonText(FileDigest(context.dataPath)), JsonText(Settings(model)), fit.evaluations, fit.simulations,
        Json(context.seconds));
    for (std::size_t w = 0; w < result.warnings.size(); ++w) j += (w ? ", " : "") + JsonText(result.warnings[w]);
    j += "],\n    \"model\": " + JsonText(ModelText(context)) + "}\n}\n";
    std::ofstream out(folder / "results.json", std::ios::trunc);
    out << j;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + (folder / "results.json").string());
}

void AddFoceiPlots(const ReportContext& context, std::ostream& gp, const std::filesystem::path& folder,
                   const std::filesystem::path& scratch, std::vector<std::string>& files)
{
    const FoceiResult& fit = Fit(context);
    const std::filesystem::path residuals = scratch / "cwres.dat";
    const std::filesystem::path etas = scratch / "etas.dat";
    {
        std::ofstream out(residuals, std::ios::trunc);
        for (const Observation& o : context.result->observations)
            if (std::isfinite(o.cwres)) out << fmt::format("{:.9g} {:.9g} {:.9g}\n", o.time, o.pred, o.cwres);
        std::ofstream eta(etas, std::ios::trunc);
        for (const Eigen::VectorXd& e : fit.eta) {
            for (Eigen::Index k = 0; k < e.size(); ++k) eta << fmt::format("{}{:.9g}", k ? " " : "", e[k]);
            eta << "\n";
        }
        if (!out || !eta) throw std::runtime_error("cannot write the plot data");
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
