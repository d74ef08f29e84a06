// The toolkit's facade for R. Each call returns a list: the run's values and tables, or
// `error` (the kind) and `message`, which the R side raises as a condition of that class, so
// that no R error jumps over the toolkit's C++ frames. Between the fit's stages and at its
// reports the R thread asks R for a pending interrupt inside R_ToplevelExec (the jump stays
// there); the fit then ends as Cancelled, and R's interrupt is raised once the C++ frames are
// gone. Progress goes to R's console unless quiet; the run's other threads report nothing.
#include <R_ext/Utils.h>
#include <Rcpp.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "binding.h"
#include "patients.h"

namespace tk = tessuvan::toolkit;
using tessuvan::binding::Source;

namespace {

void CheckInterrupt(void*) { R_CheckUserInterrupt(); }

struct Host {
    explicit Host(bool quiet) : quiet(quiet) {}
    bool quiet;
    std::atomic<bool> interrupted{false};
    std::thread::id caller = std::this_thread::get_id();
    bool shown = false;

    tk::Callbacks Callbacks()
    {
        tk::Callbacks callbacks;
        callbacks.cancelled = [this] {
            if (std::this_thread::get_id() == caller && !interrupted && !R_ToplevelExec(CheckInterrupt, nullptr))
                interrupted = true;
            return interrupted.load();
        };
        if (!quiet)
            callbacks.status = [this](const std::string& status) {
                if (std::this_thread::get_id() != caller) return;
                REprintf("\r%-70s", status.c_str());
                shown = true;
            };
        return callbacks;
    }
    void EndLine() const
    {
        if (shown) REprintf("\n");
    }
};

Rcpp::List Failure(const tk::Error& error)
{
    return Rcpp::List::create(Rcpp::Named("error") = tessuvan::binding::KindOf(error).name,
                              Rcpp::Named("message") = tessuvan::binding::Message(error));
}

Rcpp::CharacterVector Files(const tk::Tables& tables)
{
    Rcpp::CharacterVector files;
    Rcpp::CharacterVector names;
    for (const auto& [name, content] : tables.files) {
        files.push_back(content);
        names.push_back(name);
    }
    files.attr("names") = names;
    return files;
}

Rcpp::List Estimation(const tessuvan::estimation::FoceiResult& fit)
{
    const auto parameters = tessuvan::binding::Parameters(fit);
    Rcpp::CharacterVector label, kind, name;
    Rcpp::NumericVector value, se;
    Rcpp::LogicalVector fixed;
    for (const auto& p : parameters) {
        label.push_back(p.label);
        kind.push_back(p.kind);
        name.push_back(p.estimate.name);
        value.push_back(p.estimate.value);
        se.push_back(std::isfinite(p.estimate.se) ? p.estimate.se : NA_REAL);  // none at a bound
        fixed.push_back(p.estimate.fixed);
    }
    const Rcpp::DataFrame table =
        Rcpp::DataFrame::create(Rcpp::Named("label") = label, Rcpp::Named("kind") = kind, Rcpp::Named("name") = name,
                                Rcpp::Named("value") = value, Rcpp::Named("se") = se, Rcpp::Named("fixed") = fixed,
                                Rcpp::Named("stringsAsFactors") = false);
    const std::vector<double> covariance = tessuvan::binding::Covariance(fit);
    const int n = int(fit.correlationNames.size());
    Rcpp::NumericMatrix matrix(covariance.empty() ? 0 : n, covariance.empty() ? 0 : n);
    for (int a = 0; a < matrix.nrow(); ++a)
        for (int b = 0; b < matrix.ncol(); ++b) matrix(a, b) = covariance[std::size_t(a * n + b)];
    if (!covariance.empty()) {
        const Rcpp::CharacterVector names(fit.correlationNames.begin(), fit.correlationNames.end());
        matrix.attr("dimnames") = Rcpp::List::create(names, names);
    }
    Rcpp::NumericVector shrinkage(fit.etaShrinkage.data(), fit.etaShrinkage.data() + fit.etaShrinkage.size());
    Rcpp::CharacterVector etaNames;
    for (const auto& e : fit.omega) etaNames.push_back(e.name);
    shrinkage.attr("names") = etaNames;
    return Rcpp::List::create(
        Rcpp::Named("parameters") = table, Rcpp::Named("minus2ll") = fit.minus2ll, Rcpp::Named("aic") = fit.aic,
        Rcpp::Named("bic") = fit.bic, Rcpp::Named("converged") = tessuvan::estimation::Converged(fit.status),
        Rcpp::Named("message") = fit.summary, Rcpp::Named("nobs") = fit.observations,
        Rcpp::Named("n_estimated") = fit.estimatedCount, Rcpp::Named("vcov") = matrix,
        Rcpp::Named("covariance_message") = fit.covarianceMessage, Rcpp::Named("eta_shrinkage") = shrinkage,
        Rcpp::Named("epsilon_shrinkage") = fit.epsilonShrinkage);
}

// The [fit] keys given as R arguments: each a string, a number or a logical of length 1
// (checked by the R side).
std::vector<tessuvan::binding::Option> OptionsOf(const Rcpp::List& options)
{
    std::vector<tessuvan::binding::Option> out;
    const Rcpp::CharacterVector names =
        options.size() ? Rcpp::CharacterVector(options.names()) : Rcpp::CharacterVector();
    for (R_xlen_t k = 0; k < options.size(); ++k) {
        const SEXP value = options[k];
        const std::string key(names[k]);
        if (TYPEOF(value) == STRSXP)
            out.push_back({key, Rcpp::as<std::string>(value)});
        else if (TYPEOF(value) == LGLSXP)
            out.push_back({key, bool(Rcpp::as<bool>(value))});
        else
            out.push_back({key, Rcpp::as<double>(value)});
    }
    return out;
}

tk::Study Load(const std::string& model, bool modelText, const std::string& data, bool dataText,
               const Rcpp::List& options = Rcpp::List())
{
    return tessuvan::binding::LoadSources(Source{model, modelText, "(model text)"},
                                          Source{data, dataText, "(data text)"}, OptionsOf(options));
}

}  // namespace

// [[Rcpp::export(name = ".tessuvan_fit")]]
Rcpp::List FitCall(std::string model, bool modelText, std::string data, bool dataText, bool quiet, Rcpp::List options)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        const tk::Study study = Load(model, modelText, data, dataText, options);
        const tk::FitResult fit = tk::Fit(study, callbacks);
        const tk::Tables tables = tk::TablesOf(fit);
        host.EndLine();
        const auto* population = std::get_if<tk::PopulationFit>(&fit);
        const tk::RunOutcome& run =
            population ? static_cast<const tk::RunOutcome&>(*population) : std::get<tk::PooledFit>(fit);
        Rcpp::List out = Rcpp::List::create(Rcpp::Named("estimation") = population ? "focei" : "pooled",
                                            Rcpp::Named("report") = tables.report, Rcpp::Named("files") = Files(tables),
                                            Rcpp::Named("seconds") = run.seconds,
                                            Rcpp::Named("n_individuals") = int(run.problem.individuals.size()));
        if (population) out["focei"] = Estimation(population->estimation());
        return out;
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();  // R's interrupt, raised by Rcpp's wrapper
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

// [[Rcpp::export(name = ".tessuvan_simulate")]]
Rcpp::List SimulateCall(std::string model, bool modelText, std::string data, bool dataText, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        const tk::Tables tables = tk::TablesOf(tk::Simulate(Load(model, modelText, data, dataText), callbacks));
        host.EndLine();
        return Rcpp::List::create(Rcpp::Named("report") = tables.report, Rcpp::Named("files") = Files(tables));
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

// [[Rcpp::export(name = ".tessuvan_vpc")]]
Rcpp::List VpcCall(std::string resultsJson, std::string model, bool modelText, std::string data, bool dataText,
                   Rcpp::List options, int replicates, double seed, int bins, int threads, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        tk::VpcRequest request;
        request.replicates = replicates;
        request.seed = static_cast<std::uint64_t>(seed);
        request.bins = tk::ParseBins(bins, "");
        request.threads = threads > 0 ? threads : tk::AvailableProcessors();
        const std::string table =
            tessuvan::binding::VpcTable(resultsJson, Source{model, modelText, "(model text)"},
                                        Source{data, dataText, "(data text)"}, OptionsOf(options), request, callbacks);
        host.EndLine();
        return Rcpp::List::create(Rcpp::Named("vpc") = table);
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

// [[Rcpp::export(name = ".tessuvan_replicates")]]
Rcpp::List ReplicatesCall(std::string resultsJson, std::string model, bool modelText, std::string data, bool dataText,
                          Rcpp::List options, int replicates, double seed, int threads, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        tk::ReplicateRequest request;
        request.replicates = replicates;
        request.seed = static_cast<std::uint64_t>(seed);
        request.threads = threads > 0 ? threads : tk::AvailableProcessors();
        const std::string table = tessuvan::binding::ReplicatesTable(
            resultsJson, Source{model, modelText, "(model text)"}, Source{data, dataText, "(data text)"},
            OptionsOf(options), request, callbacks);
        host.EndLine();
        return Rcpp::List::create(Rcpp::Named("simulations") = table);
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

// [[Rcpp::export(name = ".tessuvan_predict")]]
Rcpp::List PredictCall(std::string resultsJson, std::string model, bool modelText, Rcpp::List options, std::string data,
                       bool dataText, bool quiet, Rcpp::NumericVector typical, Rcpp::CharacterVector ids,
                       Rcpp::NumericMatrix individual)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        // A pooled fit's values: `typical` its population values, `individual` one row per ID.
        tessuvan::binding::PredictionValues pooled{Eigen::Map<Eigen::VectorXd>(typical.begin(), typical.size()), {}};
        for (int i = 0; i < individual.nrow() && i < ids.size(); ++i) {
            Eigen::VectorXd values(individual.ncol());
            for (int p = 0; p < individual.ncol(); ++p) values[p] = individual(i, p);
            pooled.individual[std::string(ids[i])] = values;
        }
        const std::vector<tessuvan::binding::PredictedRow> rows = tessuvan::binding::Predict(
            resultsJson, Source{model, modelText, "(model text)"}, OptionsOf(options),
            Source{data, dataText, "(newdata text)"}, callbacks, typical.size() ? &pooled : nullptr);
        host.EndLine();
        Rcpp::CharacterVector id(rows.size()), output(rows.size());
        Rcpp::NumericVector time(rows.size()), pred(rows.size()), ipred(rows.size());
        Rcpp::IntegerVector line(rows.size());
        Rcpp::LogicalVector fitted(rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            id[R_xlen_t(r)] = rows[r].id;
            time[R_xlen_t(r)] = rows[r].time;
            output[R_xlen_t(r)] = rows[r].output;
            pred[R_xlen_t(r)] = rows[r].pred;
            ipred[R_xlen_t(r)] = rows[r].ipred;
            line[R_xlen_t(r)] = rows[r].line;
            fitted[R_xlen_t(r)] = rows[r].fitted;
        }
        return Rcpp::List::create(Rcpp::Named("ID") = id, Rcpp::Named("TIME") = time, Rcpp::Named("OUTPUT") = output,
                                  Rcpp::Named("PRED") = pred, Rcpp::Named("IPRED") = ipred, Rcpp::Named("LINE") = line,
                                  Rcpp::Named("FITTED_ETA") = fitted);
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

namespace {

tk::MapRequest MapRequestOf(const std::string& id, double until, int points, int draws, double seed, bool sir)
{
    tk::MapRequest request;
    request.id = id;
    request.until = until;
    request.points = points;
    request.draws = draws;
    request.seed = static_cast<std::uint64_t>(seed);
    request.sir = sir;
    return request;
}

tessuvan::binding::PriorSource PriorOf(const std::string& resultsJson, const std::string& prior, bool priorText,
                                       const Rcpp::List& options)
{
    return {resultsJson, Source{prior, priorText, "(prior model text)"}, OptionsOf(options)};
}

Rcpp::List PatientList(const tessuvan::binding::PatientTables& tables, const tk::MapResult& map)
{
    Rcpp::CharacterVector files, names;
    for (const auto& [name, content] : tables.files) {
        files.push_back(content);
        names.push_back(name);
    }
    files.attr("names") = names;
    Rcpp::NumericVector eta(map.posterior.eta.data(), map.posterior.eta.data() + map.posterior.eta.size());
    Rcpp::CharacterVector etaNames;
    for (const auto& e : map.prior.etas) etaNames.push_back(e.name);
    eta.attr("names") = etaNames;
    return Rcpp::List::create(
        Rcpp::Named("report") = tables.report, Rcpp::Named("files") = files, Rcpp::Named("id") = map.id,
        Rcpp::Named("eta") = eta, Rcpp::Named("objective") = map.posterior.objective,
        Rcpp::Named("converged") = map.posterior.converged, Rcpp::Named("warnings") = Rcpp::wrap(map.warnings));
}

}  // namespace

// [[Rcpp::export(name = ".tessuvan_map")]]
Rcpp::List MapCall(std::string resultsJson, std::string prior, bool priorText, Rcpp::List options, std::string patient,
                   bool patientText, std::string id, double until, int points, int draws, double seed, bool sir,
                   bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        const tessuvan::binding::MapCall call = tessuvan::binding::Map(
            PriorOf(resultsJson, prior, priorText, options), Source{patient, patientText, "(patient data)"},
            MapRequestOf(id, until, points, draws, seed, sir), callbacks);
        host.EndLine();
        return PatientList(call.tables, call.map);
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}

// [[Rcpp::export(name = ".tessuvan_dose")]]
Rcpp::List DoseCall(std::string resultsJson, std::string prior, bool priorText, Rcpp::List options, std::string patient,
                    bool patientText, std::string id, double until, int points, int draws, double seed, bool sir,
                    Rcpp::NumericVector regimen, bool steadyState, std::string target, double at, double round,
                    double minDose, double maxDose, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    try {
        tk::DoseRequest request;
        request.map = MapRequestOf(id, until, points, draws, seed, sir);
        // interval, doses, start, infusion, cmt: checked by the R side as finite numbers
        request.regimen.interval = regimen[0];
        request.regimen.doses = int(regimen[1]);
        request.regimen.start = regimen[2];
        request.regimen.infusion = regimen[3];
        request.regimen.cmt = int(regimen[4]);
        request.regimen.steadyState = steadyState;
        request.target = target;
        request.at = at;
        request.round = round;
        request.minDose = minDose;
        request.maxDose = maxDose;
        const tessuvan::binding::DoseCall call =
            tessuvan::binding::Dose(PriorOf(resultsJson, prior, priorText, options),
                                    Source{patient, patientText, "(patient data)"}, request, callbacks);
        host.EndLine();
        Rcpp::List out = PatientList(call.tables, call.dose.map);
        const tk::DoseResult& dose = call.dose;
        out["dose"] = Rcpp::List::create(
            Rcpp::Named("amount") = dose.amount, Rcpp::Named("unrounded") = dose.unrounded,
            Rcpp::Named("target") = tessuvan::forecast::TargetName(dose.target.kind),
            Rcpp::Named("exposure") = dose.exposure, Rcpp::Named("exposure_unrounded") = dose.exposureUnrounded,
            Rcpp::Named("exposure_percentiles") =
                Rcpp::NumericVector::create(Rcpp::Named("P5") = dose.exposureP5, Rcpp::Named("P50") = dose.exposureP50,
                                            Rcpp::Named("P95") = dose.exposureP95),
            Rcpp::Named("probability") = dose.probability, Rcpp::Named("evaluations") = dose.evaluations);
        return out;
    } catch (const tk::Cancelled&) {
        host.EndLine();
        throw Rcpp::internal::InterruptedException();
    } catch (const tk::Error& error) {
        host.EndLine();
        return Failure(error);
    }
}
