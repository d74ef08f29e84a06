// What the R and Python bindings add over the toolkit's facade for single patients and new rows:
// predictions of a fit for rows of a data set it did not see (PRED at the typical values, IPRED
// at the fit's own values of each ID it holds, η = 0 for any other), and the Bayesian forecast
// (`map`) and dose (`dose`) of one patient given a prior that is a fit made in the session or a
// model file.
// Header-only, as binding.h.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>

#include "binding.h"
#include "data/data_set.h"
#include "data/derived_covariates.h"
#include "engine/engine_codes.h"
#include "forecast/patient_engine.h"
#include "forecast/posterior.h"
#include "toolkit/forecast.h"
#include "toolkit/guarded.h"

namespace tessuvan::binding {

// One predicted row of the new data: the data set's ID, TIME, the model's output, PRED, IPRED,
// the data set's line, and whether IPRED is at the fit's η of that ID (false: η = 0).
struct PredictedRow {
    std::string id;
    double time = 0;
    std::string output;
    double pred = 0, ipred = 0;
    int line = 0;
    bool fitted = false;
};

// The model as the fit ran it: the source with the fit's options set.
inline cli::Model ModelAsRun(const Source& model, const std::vector<Option>& options)
{
    const std::string name = model.isText ? model.name : model.pathOrText;
    return cli::ParseModel(WithFitOptions(ReadSource(model), name, options), name);
}

// Every model parameter's value (those of formulas: any, the engine computes them) for PRED, and
// for IPRED by the fit's IDs.
struct PredictionValues {
    Eigen::VectorXd typical;
    std::map<std::string, Eigen::VectorXd> individual;
};

// Of a FOCEI fit: θ (η = 0) and each individual's η, from its results.json (as a fit's folder
// holds them, 10 significant digits: the numbers the command's own calls on that folder use).
inline PredictionValues FoceiValues(const cli::Model& model, const std::string& resultsJson)
{
    const nlohmann::json results = nlohmann::json::parse(resultsJson, nullptr, false);
    if (results.is_discarded() || !results.is_object() || !results.contains("individuals"))
        throw tk::UsageError("predict: the fit holds no population estimation's results (a FOCEI fit)");
    const simulation::VariabilityModel prior = tk::detail::CheckedVariability(model, &results, "results.json");
    const Eigen::Index q = Eigen::Index(prior.etas.size());
    PredictionValues values{forecast::ValuesAt(prior, Eigen::VectorXd::Zero(q)), {}};
    for (const nlohmann::json& individual : results.at("individuals")) {
        Eigen::VectorXd eta(q);
        for (Eigen::Index e = 0; e < q; ++e)
            eta[e] = individual.at("eta").at(prior.etas[std::size_t(e)].name).get<double>();
        values.individual[individual.at("id").get<std::string>()] = forecast::ValuesAt(prior, eta);
    }
    return values;
}

// PRED and IPRED of every observation and EVID 2 row of `rows`, individual by individual in
// the order of their first row, each simulated alone: PRED at the typical values, IPRED at the
// individual's of the fit for an ID it holds, at the typical ones (IPRED = PRED; η = 0) for any
// other. The values are those of a FOCEI fit's results.json, or `pooled` (a pooled fit's).
inline std::vector<PredictedRow> Predict(const std::string& resultsJson, const Source& model,
                                         const std::vector<Option>& options, const Source& rows,
                                         const tk::Callbacks& callbacks, const PredictionValues* pooled = nullptr)
{
    return tk::detail::Guarded([&] {
        const tk::detail::Reporter reporter(callbacks);
        cli::Model parsed = ModelAsRun(model, options);  // the occasions of the rows may add to it
        const PredictionValues values = pooled ? *pooled : FoceiValues(parsed, resultsJson);
        const auto size = Eigen::Index(parsed.parameters.size());
        bool sized = values.typical.size() == size;
        for (const auto& [id, individual] : values.individual) sized = sized && individual.size() == size;
        if (!sized)
            throw tk::UsageError(fmt::format("predict: the fit's values are not the model's {} parameters", size));
        const std::string name = rows.isText ? rows.name : rows.pathOrText;
        cli::DataSet data = cli::ParseDataSet(ReadSource(rows), name, tk::detail::CovariateColumns(parsed));
        cli::AddDerivedCovariates(parsed, data);
        // The κ of the occasions are parameters of the model as run, of which the fit keeps no values here.
        if (Eigen::Index(parsed.parameters.size()) != size)
            throw tk::UsageError(
                "predict: a model with inter-occasion variability (iov) cannot be predicted for new "
                "rows yet");
        std::vector<std::string> ids;
        std::set<std::string> seen;
        for (const cli::DataRow& row : data.rows)
            if (seen.insert(row.id).second) ids.push_back(row.id);
        std::vector<PredictedRow> out;
        for (const std::string& id : ids) {
            reporter.Status("predicting individual " + id);
            cli::DataSet patient = data;
            std::erase_if(patient.rows, [&](const cli::DataRow& row) { return row.id != id; });
            // An individual of doses alone has nothing to predict (and the engine loads none).
            if (std::none_of(patient.rows.begin(), patient.rows.end(),
                             [](const cli::DataRow& row) { return row.evid == 0 || row.evid == 2; }))
                continue;
            forecast::PatientEngine engine(parsed, patient, {});
            const auto found = values.individual.find(id);
            const bool known = found != values.individual.end();
            std::vector<Eigen::VectorXd> pred(1), ipred(1);
            if (!engine.Simulator().Predict({values.typical}, {1}, pred) ||
                !engine.Simulator().Predict({known ? found->second : values.typical}, {1}, ipred))
                throw cli::EngineError(cli::EngineStage::Simulation, engine.LastCode());
            for (std::size_t r = 0; r < engine.Rows().size(); ++r) {
                const forecast::PredictedRow& row = engine.Rows()[r];
                out.push_back({id, row.time, parsed.outputs[row.output].name, pred[0][Eigen::Index(r)],
                               ipred[0][Eigen::Index(r)], row.line, known});
            }
        }
        return out;
    });
}

// A temporary folder of a binding's call, removed with this.
class Scratch {
public:
    Scratch()
    {
        static std::atomic<int> count{0};
        path_ = std::filesystem::temp_directory_path() / fmt::format("tessuvan-patient-{}-{}", ::getpid(), ++count);
        try {
            std::filesystem::create_directories(path_);
        } catch (const std::filesystem::filesystem_error& error) {
            throw tk::WriteError(path_.string() + ": cannot be made (" + error.code().message() + ")");
        }
    }
    ~Scratch()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::filesystem::path Write(const std::string& name, const std::string& text) const
    {
        std::ofstream out(path_ / name, std::ios::binary);
        out << text;
        out.close();
        if (!out) throw tk::WriteError("cannot write " + (path_ / name).string());
        return path_ / name;
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The prior of a forecast: a FOCEI fit made in the session (its results.json, with the model as
// it ran), or a model file (a path or a text).
struct PriorSource {
    std::string resultsJson;  // empty: `model` itself is the prior
    Source model;
    std::vector<Option> options;
};

// A path of the scratch folder and how messages and reports name it instead: what the caller
// gave, not where the call put it.
struct Shown {
    std::string path, name;
};

inline std::string Renamed(std::string text, const std::vector<Shown>& names)
{
    for (const Shown& shown : names)
        for (std::size_t at; !shown.path.empty() && (at = text.find(shown.path)) != std::string::npos;)
            text.replace(at, shown.path.size(), shown.name);
    return text;
}

// The toolkit's failures of `body` with the scratch folder's paths renamed, each of its kind.
template <typename Body>
auto WithNames(const std::vector<Shown>& names, Body body) -> decltype(body())
{
    try {
        return body();
    } catch (const tk::Cancelled&) {
        throw;
    } catch (const tk::UsageError& error) {
        throw tk::UsageError(Renamed(error.what(), names));
    } catch (const tk::InputError& error) {
        throw tk::InputError(Renamed(error.what(), names));
    } catch (const tk::EngineError& error) {
        throw tk::EngineError(Renamed(error.what(), names));
    } catch (const tk::WriteError& error) {
        throw tk::WriteError(Renamed(error.what(), names));
    }
}

inline void Rename(tk::MapResult& map, const std::vector<Shown>& names)
{
    map.priorPath = Renamed(map.priorPath, names);
    map.patientPath = Renamed(map.patientPath, names);
    for (std::string& warning : map.warnings) warning = Renamed(warning, names);
}

// The paths MapRequest takes, written into `scratch` where the sources are in memory: a fit's
// folder holds its results.json whose run.model is the model text as it ran (the options set),
// which is what the forecast reads of a fit. Returns how the scratch paths are to be named.
inline std::vector<Shown> PlacePrior(const PriorSource& prior, const Source& patient, const Scratch& scratch,
                                     tk::MapRequest& request)
{
    std::vector<Shown> names;
    if (!prior.resultsJson.empty()) {
        nlohmann::ordered_json results = nlohmann::ordered_json::parse(prior.resultsJson, nullptr, false);
        if (results.is_discarded() || !results.is_object())
            throw tk::UsageError("the prior's fit holds no results.json (a FOCEI fit)");
        const std::string name = prior.model.isText ? prior.model.name : prior.model.pathOrText;
        results["run"]["model"] = WithFitOptions(ReadSource(prior.model), name, prior.options);
        std::filesystem::create_directories(scratch.Path() / "fit");
        names.push_back(
            {scratch.Write("fit/results.json", results.dump(2) + "\n").string(), "(the prior fit's results)"});
        request.prior = scratch.Path() / "fit";
        names.push_back({request.prior.string(), "(the prior fit)"});
    } else if (prior.model.isText) {
        request.prior = scratch.Write("prior.toml", prior.model.pathOrText);
        names.push_back({request.prior.string(), prior.model.name});
    } else {
        request.prior = prior.model.pathOrText;
    }
    if (patient.isText) {
        request.patient = scratch.Write("patient.csv", patient.pathOrText);
        names.push_back({request.patient.string(), patient.name});
    } else {
        request.patient = patient.pathOrText;
    }
    return names;
}

// The files `map` and `dose` write (results.json, report.txt, parameters.csv, observations.csv,
// forecast.csv), as the command writes them: its writer's own, into the scratch folder (the plot
// it draws there is left with the folder: a host draws its own).
struct PatientTables {
    std::string report;
    std::vector<std::pair<std::string, std::string>> files;
};

template <typename Result>
PatientTables TablesOfPatient(const Result& result, const Scratch& scratch)
{
    tk::Callbacks none;
    const tk::Written written = tk::Write(result, scratch.Path() / "out", none);
    PatientTables tables{written.report, {}};
    for (const std::string& file : written.files)
        if (file.ends_with(".json") || file.ends_with(".csv"))
            tables.files.emplace_back(file, ReadSource(Source{(written.folder / file).string(), false, {}}));
    return tables;
}

struct MapCall {
    tk::MapResult map;
    PatientTables tables;
};
inline MapCall Map(const PriorSource& prior, const Source& patient, tk::MapRequest request,
                   const tk::Callbacks& callbacks)
{
    return tk::detail::Guarded([&] {
        const Scratch scratch;
        const std::vector<Shown> names = PlacePrior(prior, patient, scratch, request);
        return WithNames(names, [&] {
            MapCall call{tk::Map(request, callbacks), {}};
            Rename(call.map, names);
            call.tables = TablesOfPatient(call.map, scratch);
            return call;
        });
    });
}

struct DoseCall {
    tk::DoseResult dose;
    PatientTables tables;
};
inline DoseCall Dose(const PriorSource& prior, const Source& patient, tk::DoseRequest request,
                     const tk::Callbacks& callbacks)
{
    return tk::detail::Guarded([&] {
        const Scratch scratch;
        const std::vector<Shown> names = PlacePrior(prior, patient, scratch, request.map);
        return WithNames(names, [&] {
            DoseCall call{tk::Dose(request, callbacks), {}};
            Rename(call.dose.map, names);
            call.tables = TablesOfPatient(call.dose, scratch);
            return call;
        });
    });
}

}  // namespace tessuvan::binding
