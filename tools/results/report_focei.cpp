// What a population estimation (FOCEI) shows: θ with initial values, standard errors and 95 %
// confidence intervals, Ω (variance, SD and CV %), σ, −2LL, AIC, BIC, shrinkage, the
// correlation of the estimates, the digests of the files, the tables with ETAs and CWRES, and
// results.json (the plots: report_focei_plots.cpp).
#include <algorithm>
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

// A κ of inter-occasion variability (model/occasions.h): a random effect of the individuals,
// not a parameter of the population; its variance is shown once, as the parameter's iov.
bool IsKappa(const Model& model, const std::string& name)
{
    return std::any_of(model.parameters.begin(), model.parameters.end(),
                       [&](const ParameterSpec& p) { return p.name == name && !p.occasionOf.empty(); });
}

std::vector<Estimated> Stated(const Model& model, const std::vector<Estimated>& estimates)
{
    std::vector<Estimated> stated;
    for (const Estimated& e : estimates)
        if (!IsKappa(model, e.name)) stated.push_back(e);
    return stated;
}

double InitialIov(const Model& model, const std::string& name)
{
    for (const ParameterSpec& p : model.parameters)
        if (p.name == name) return p.iov;
    return std::nan("");
}

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

// The value the search started from, as the model file gives it; NaN for none.
double InitialValue(const ReportContext& context, const std::string& kind, const std::string& name)
{
    const Model& model = *context.model;
    if (kind == "sigma") {
        // "term" or "OUTPUT:term" of an error model per output.
        const std::size_t colon = name.find(':');
        const std::string term = colon == std::string::npos ? name : name.substr(colon + 1);
        const ErrorSpec* error = &model.error;
        if (colon != std::string::npos)
            for (const ErrorSpec& of : model.outputErrors)
                if (of.output == name.substr(0, colon)) error = &of;
        return term == "additive"      ? error->additiveValue
               : term == "exponential" ? error->exponentialValue
                                       : error->proportionalValue;
    }
    for (const ParameterSpec& p : model.parameters)
        if (p.name == name) return kind == "omega" ? p.omega : p.value;
    return std::nan("");
}

// What a residual error term is: "additive", "proportional", "exponential", "OUTPUT:term".
const char* Unit(const std::string& name)
{
    const std::string term = name.substr(name.find(':') == std::string::npos ? 0 : name.find(':') + 1);
    return term == "additive"      ? "SD, units of the observations"
           : term == "exponential" ? "SD of ln y"
                                   : "fraction of the prediction";
}

std::string Initial(const ReportContext& context, const std::string& kind, const std::string& name)
{
    const double value = InitialValue(context, kind, name);
    return std::isfinite(value) ? FormatValue(value) : "-";
}

// A parameter searched in its logarithm: [x·exp(−1.96·SE/x), x·exp(1.96·SE/x)], the symmetric
// interval of ln x carried back (its SE on the natural scale is x·SE(ln x), the delta method);
// one searched on another scale, the symmetric interval there (population_json.h).
std::string LogInterval(const Estimated& e)
{
    double low = 0, high = 0;
    if (!population::Interval95(e, low, high)) return "-";
    return fmt::format("[{}, {}]", FormatValue(low), FormatValue(high));
}

template <typename Line>
void IndividualTable(const ReportContext& context, Line& line)
{
    const FoceiResult& fit = Fit(context);
    line("Individuals (ETA at the mode, and the individual values)");
    std::string header = fmt::format("  {:<8}", "ID");
    for (const Estimated& o : fit.omega) header += fmt::format(" {:>12}", "ETA_" + o.name);
    for (const ParameterSpec& p : context.model->parameters) header += fmt::format(" {:>12}", p.name);
    line(header);
    for (std::size_t i = 0; i < context.problem->individuals.size(); ++i) {
        std::string row = fmt::format("  {:<8}", context.problem->individuals[i].id);
        for (Eigen::Index e = 0; e < fit.eta[i].size(); ++e) row += fmt::format(" {:>12.5f}", fit.eta[i][e]);
        for (double value : context.result->values.individual[i]) row += fmt::format(" {:>12}", FormatValue(value));
        line(row);
    }
}

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
    line("Typical values (theta); 95 % confidence intervals exp(ln theta +- 1.96 SE/theta), searched in ln theta");
    line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8}   {}", "parameter", "initial", "value", "std. error", "RSE",
                     "95 % CI"));
    for (const Estimated& e : Stated(*context.model, fit.theta))
        line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8}   {}", e.name, Initial(context, "theta", e.name),
                         FormatValue(e.value), Se(e), Rse(e), LogInterval(e)));
    for (const Estimated& e : fit.theta)
        if (e.scale != population::Scale::Log)
            line(fmt::format("  {} searched on the {} scale{}", e.name, population::ScaleWords(e.scale),
                             e.scale == population::Scale::Linear ? " (interval theta +- 1.96 SE)"
                                                                  : " (interval symmetric in logit theta)"));
    line("");
    line(
        "Between-subject variability (omega, log-normal: variance omega^2 of ln, SD omega, CV sqrt(exp(omega^2) - 1))");
    line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8} {:>11} {:>8} {:>8} {:>10}", "parameter", "initial",
                     "variance", "std. error", "RSE", "SD", "RSE SD", "CV", "shrinkage"));
    for (std::size_t e = 0; e < fit.omega.size(); ++e) {
        const Estimated& o = fit.omega[e];
        if (IsKappa(*context.model, o.name)) continue;
        // SE(omega) = SE(omega^2)/(2 omega) by the delta method, so RSE(omega) = RSE(omega^2)/2.
        const std::string sdRse =
            std::isfinite(o.se) && o.value > 0 ? fmt::format("{:.1f}%", 50.0 * o.se / o.value) : "-";
        const std::string cv = o.scale == population::Scale::Log ? fmt::format("{:.1f}%", CvPercent(o.value)) : "-";
        line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8} {:>11} {:>8} {:>8} {:>9.1f}%", o.name,
                         Initial(context, "omega", o.name), FormatValue(o.value), Se(o), Rse(o),
                         FormatValue(std::sqrt(o.value)), sdRse, cv, fit.etaShrinkage[Eigen::Index(e)]));
    }
    for (const Estimated& o : fit.iov)  // π² beside ω²: the variance of each occasion's κ
        line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8} {:>11}   between occasions", o.name + " (iov)",
                         FormatValue(InitialIov(*context.model, o.name)), FormatValue(o.value), Se(o), Rse(o),
                         FormatValue(std::sqrt(o.value))));
    for (const Estimated& o : Stated(*context.model, fit.omega))
        if (o.scale != population::Scale::Log)
            line(fmt::format("  {}: eta {} (omega^2 its variance on that scale, no CV)", o.name,
                             o.scale == population::Scale::Linear ? "normal, phi = theta + eta"
                                                                  : "logit-normal, logit phi = logit theta + eta"));
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
    line("Residual error (sigma); 95 % confidence intervals searched in ln sigma");
    for (const Estimated& s : fit.sigma)
        line(fmt::format("  {:<14} {:>12} {:>12} {:>12} {:>8}   {:<25} ({})", s.name, Initial(context, "sigma", s.name),
                         FormatValue(s.value), Se(s), Rse(s), LogInterval(s), Unit(s.name)));
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
    if (context.summary) {
        line(
            fmt::format("Individuals: the ETA at the mode and the individual values of all {} in individuals.csv and "
                        "patab.csv (--verbose shows them here)",
                        context.problem->individuals.size()));
    } else {
        IndividualTable(context, line);
    }
    if (!result.warnings.empty()) {
        line("");
        line("Warnings");
        for (const std::string& warning : result.warnings) line("  " + warning);
    }
    line("");
    line(fmt::format("Run: tessuvan {} on {}", TESSUVAN_VERSION, Now()));
    const auto digest = [](const std::string& path) {
        const std::string text = FileDigest(path);
        return text.empty() ? std::string("(not a file)") : text;
    };
    line(fmt::format("Digests of the files: model {} {}, data {} {}", context.modelPath, digest(context.modelPath),
                     context.dataPath, digest(context.dataPath)));
    if (context.summary) {
        line("Model file: in report.txt and results.json");
        return out;
    }
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
        for (const Estimated& e : Stated(*context.model, fit.theta)) row("theta", e);
        for (const Estimated& e : Stated(*context.model, fit.omega)) row("omega", e);
        for (const Estimated& e : fit.iov) row("iov", e);
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
        // The observations, then the EVID 2 rows (PRED and IPRED alone) among them in the data
        // set's order.
        std::vector<const Observation*> rows;
        for (const Observation& o : result.observations) rows.push_back(&o);
        if (!result.predictedRows.empty()) {
            for (const Observation& o : result.predictedRows) rows.push_back(&o);
            std::stable_sort(rows.begin(), rows.end(), [](const Observation* a, const Observation* b) {
                return a->individual != b->individual ? a->individual < b->individual : a->line < b->line;
            });
        }
        for (const Observation* o : rows) {
            const bool observed = o->dv > 0;
            out << problem.individuals[o->individual].id << "," << Cell(o->time) << ","
                << context.model->outputs[o->output].name << "," << (observed ? Cell(o->dv) : "") << ","
                << Cell(o->pred) << "," << Cell(o->ipred) << "," << (observed ? Cell(o->wres) : "") << ","
                << (observed ? Cell(o->iwres) : "") << "," << (observed ? Cell(o->cwres) : "") << "," << o->line
                << "\n";
        }
        out.Close();
    }
}

// results.json: the estimates one a line, the rest of a member on the line of its name.
using population::JsonBreak;
constexpr population::JsonLine kResultsLines[] = {{"", 2, JsonBreak::EntriesAndClosing},
                                                  {"theta", 4, JsonBreak::EntriesAndClosing},
                                                  {"omega", 4, JsonBreak::EntriesAndClosing},
                                                  {"sigma", 4, JsonBreak::EntriesAndClosing},
                                                  {"omega_matrix", 4, JsonBreak::EntriesAndClosing},
                                                  {"iov", 4, JsonBreak::EntriesAndClosing},
                                                  {"correlation.matrix", 4, JsonBreak::Entries},
                                                  {"initial", 4, JsonBreak::EntriesAndClosing},
                                                  {"confidence_intervals", 4, JsonBreak::EntriesAndClosing},
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
    const std::vector<Estimated> theta = Stated(model, fit.theta), omega = Stated(model, fit.omega);
    population::AddPopulationMembers(j, theta, omega, fit.sigma);
    population::AddOmegaMatrix(j, fit.omegaMatrix);
    population::AddOccasionVariances(j, fit.iov);
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
    // The values the search started from, and the 95 % intervals of the parameters searched in
    // their logarithm (θ, σ): [x·exp(−1.96·SE/x), x·exp(1.96·SE/x)], null without a standard error.
    Json& initial = j["initial"] = Json::object();
    Json& intervals = j["confidence_intervals"] = {{"level", 0.95}};
    for (const auto& [kind, estimates] :
         {std::pair{"theta", &theta}, std::pair{"omega", &omega}, std::pair{"sigma", &fit.sigma}}) {
        Json& start = initial[kind] = Json::object();
        for (const Estimated& e : *estimates) start[e.name] = InitialValue(context, kind, e.name);
        if (std::string(kind) == "omega") continue;
        Json& bounds = intervals[kind] = Json::object();
        for (const Estimated& e : *estimates) {
            double low = 0, high = 0;
            bounds[e.name] = population::Interval95(e, low, high) ? Json::array({low, high}) : Json(nullptr);
        }
    }
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
                {"model_digest", FileDigest(context.modelPath)},
                {"data_digest", FileDigest(context.dataPath)},
                {"settings", Settings(model)},
                {"evaluations", fit.evaluations},
                {"simulations", fit.simulations},
                {"seconds", context.seconds},
                {"warnings", result.warnings},
                {"model", ModelText(context)}};
    WriteTextFile(folder / "results.json", population::JsonText(j, kResultsLines) + "\n");
}

}  // namespace tessuvan::cli
