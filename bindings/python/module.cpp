// tessuvan._tessuvan: the toolkit's facade for Python. Each call takes the model and the data
// set as a path or a text and returns plain dicts and lists (the package's __init__.py makes
// objects and data frames of them). The fit runs without the GIL; between its stages and at its
// reports the main thread asks Python for a pending signal, so Ctrl-C ends it as
// KeyboardInterrupt. Failures are the package's exceptions, carrying the toolkit's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <variant>

#include <atomic>
#include <optional>
#include <thread>

#include "binding.h"
#include "patients.h"

namespace py = pybind11;
namespace tk = tessuvan::toolkit;
using tessuvan::binding::Source;

namespace {

// The exception types, made at import and kept past the interpreter's end (never destroyed:
// their references would be dropped after Python is gone).
struct Exceptions {
    py::object usage, input, engine, write;
};
Exceptions& Types()
{
    static Exceptions* types = new Exceptions;
    return *types;
}

// The callbacks of one call, reporting on the calling (main) thread only: Python's signal
// handlers and sys.stderr are the main thread's.
struct Host {
    explicit Host(bool quiet) : quiet(quiet) {}
    bool quiet;
    std::atomic<bool> interrupted{false};  // read by the run's other threads
    std::thread::id caller = std::this_thread::get_id();
    bool shown = false;

    tk::Callbacks Callbacks()
    {
        tk::Callbacks callbacks;
        callbacks.cancelled = [this] {
            if (std::this_thread::get_id() != caller) return interrupted.load();
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) {
                PyErr_Clear();
                interrupted = true;
            }
            return interrupted.load();
        };
        if (!quiet)
            callbacks.status = [this](const std::string& status) {
                if (std::this_thread::get_id() != caller) return;
                py::gil_scoped_acquire gil;
                py::module_::import("sys").attr("stderr").attr("write")("\r" + status + std::string(20, ' '));
                shown = true;
            };
        return callbacks;
    }
    void EndLine() const
    {
        if (shown) py::module_::import("sys").attr("stderr").attr("write")("\n");
    }
};

// Runs `body` without the GIL and turns the toolkit's failures into the package's exceptions.
template <typename Body>
auto Call(Host& host, Body body) -> decltype(body())
{
    try {
        std::optional<decltype(body())> result;
        {
            py::gil_scoped_release release;
            result.emplace(body());
        }
        host.EndLine();
        return std::move(*result);
    } catch (const tk::Error& error) {
        host.EndLine();
        const auto kind = tessuvan::binding::KindOf(error);
        if (std::string(kind.name) == "cancelled") {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::error_already_set();
        }
        const Exceptions& types = Types();
        const py::object& type = kind.status == 1   ? types.usage
                                 : kind.status == 2 ? types.input
                                 : kind.status == 3 ? types.engine
                                                    : types.write;
        PyErr_SetString(type.ptr(), tessuvan::binding::Message(error).c_str());
        throw py::error_already_set();
    }
}

py::dict TablesDict(const tk::Tables& tables)
{
    py::dict files;
    for (const auto& [name, content] : tables.files) files[py::str(name)] = py::bytes(content);
    py::dict out;
    out["report"] = tables.report;
    out["files"] = files;
    return out;
}

py::dict EstimationDict(const tessuvan::estimation::FoceiResult& fit)
{
    py::list parameters;
    for (const auto& p : tessuvan::binding::Parameters(fit)) {
        py::dict row;
        row["label"] = p.label;
        row["kind"] = p.kind;
        row["name"] = p.estimate.name;
        row["value"] = p.estimate.value;
        row["se"] = p.estimate.se;
        row["fixed"] = p.estimate.fixed;
        parameters.append(row);
    }
    const std::vector<double> covariance = tessuvan::binding::Covariance(fit);
    const std::size_t n = fit.correlationNames.size();
    py::list matrix;
    for (std::size_t a = 0; a < n && !covariance.empty(); ++a)
        matrix.append(std::vector<double>(covariance.begin() + long(a * n), covariance.begin() + long((a + 1) * n)));
    py::dict out;
    out["converged"] = tessuvan::estimation::Converged(fit.status);
    out["message"] = fit.summary;
    out["minus_2ll"] = fit.minus2ll;
    out["aic"] = fit.aic;
    out["bic"] = fit.bic;
    out["n_observations"] = fit.observations;
    out["n_estimated"] = fit.estimatedCount;
    out["parameters"] = parameters;
    out["covariance_names"] = fit.correlationNames;
    out["covariance"] = matrix;
    out["covariance_message"] = fit.covarianceMessage;
    return out;
}

Source SourceOf(const std::string& pathOrText, bool isText, const char* name)
{
    return Source{pathOrText, isText, name};
}

using Options = std::vector<std::pair<std::string, tessuvan::binding::OptionValue>>;

std::vector<tessuvan::binding::Option> OptionsOf(const Options& options)
{
    std::vector<tessuvan::binding::Option> out;
    for (const auto& [key, value] : options) out.push_back({key, value});
    return out;
}

py::dict Fit(const std::string& model, bool modelText, const std::string& data, bool dataText, bool quiet,
             const Options& options)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    struct Outcome {
        tk::FitResult fit;
        tk::Tables tables;
    };
    const Outcome outcome = Call(host, [&] {
        const tk::Study study = tessuvan::binding::LoadSources(
            SourceOf(model, modelText, "(model text)"), SourceOf(data, dataText, "(data text)"), OptionsOf(options));
        tk::FitResult fit = tk::Fit(study, callbacks);
        tk::Tables tables = tk::TablesOf(fit);
        return Outcome{std::move(fit), std::move(tables)};
    });
    py::dict out = TablesDict(outcome.tables);
    const auto* population = std::get_if<tk::PopulationFit>(&outcome.fit);
    out["estimation"] = population ? "focei" : "pooled";
    const tk::RunOutcome& run =
        population ? static_cast<const tk::RunOutcome&>(*population) : std::get<tk::PooledFit>(outcome.fit);
    out["seconds"] = run.seconds;
    out["n_individuals"] = run.problem.individuals.size();
    if (population) out["focei"] = EstimationDict(population->estimation());
    return out;
}

py::dict Simulate(const std::string& model, bool modelText, const std::string& data, bool dataText, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    const tk::Tables tables = Call(host, [&] {
        const tk::Study study = tessuvan::binding::LoadSources(SourceOf(model, modelText, "(model text)"),
                                                               SourceOf(data, dataText, "(data text)"));
        return tk::TablesOf(tk::Simulate(study, callbacks));
    });
    return TablesDict(tables);
}

py::bytes Vpc(const std::string& resultsJson, const std::string& model, bool modelText, const std::string& data,
              bool dataText, const Options& options, int replicates, std::uint64_t seed, int bins, int threads,
              bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    const std::string table = Call(host, [&] {
        tk::VpcRequest request;
        request.replicates = replicates;
        request.seed = seed;
        request.bins = tk::ParseBins(bins, "");
        request.threads = threads > 0 ? threads : tk::AvailableProcessors();
        return tessuvan::binding::VpcTable(resultsJson, SourceOf(model, modelText, "(model text)"),
                                           SourceOf(data, dataText, "(data text)"), OptionsOf(options), request,
                                           callbacks);
    });
    return py::bytes(table);
}

py::bytes Replicates(const std::string& resultsJson, const std::string& model, bool modelText, const std::string& data,
                     bool dataText, const Options& options, int replicates, std::uint64_t seed, int threads, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    const std::string table = Call(host, [&] {
        tk::ReplicateRequest request;
        request.replicates = replicates;
        request.seed = seed;
        request.threads = threads > 0 ? threads : tk::AvailableProcessors();
        return tessuvan::binding::ReplicatesTable(resultsJson, SourceOf(model, modelText, "(model text)"),
                                                  SourceOf(data, dataText, "(data text)"), OptionsOf(options), request,
                                                  callbacks);
    });
    return py::bytes(table);
}

py::dict PatientDict(const tessuvan::binding::PatientTables& tables)
{
    py::dict files;
    for (const auto& [name, content] : tables.files) files[py::str(name)] = py::bytes(content);
    py::dict out;
    out["report"] = tables.report;
    out["files"] = files;
    return out;
}

tk::MapRequest MapRequestOf(const std::string& id, double until, int points, int draws, std::uint64_t seed, bool sir)
{
    tk::MapRequest request;
    request.id = id;
    request.until = until;
    request.points = points;
    request.draws = draws;
    request.seed = seed;
    request.sir = sir;
    return request;
}

tessuvan::binding::PriorSource PriorOf(const std::string& resultsJson, const std::string& prior, bool priorText,
                                       const Options& options)
{
    return {resultsJson, SourceOf(prior, priorText, "(prior model text)"), OptionsOf(options)};
}

// A pooled fit's values: `typical` its population values (empty for a FOCEI fit), `individual`
// each ID's.
py::list Predict(const std::string& resultsJson, const std::string& model, bool modelText, const Options& options,
                 const std::string& data, bool dataText, bool quiet, const std::vector<double>& typical,
                 const std::vector<std::pair<std::string, std::vector<double>>>& individual)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    tessuvan::binding::PredictionValues pooled;
    pooled.typical = Eigen::Map<const Eigen::VectorXd>(typical.data(), Eigen::Index(typical.size()));
    for (const auto& [id, values] : individual)
        pooled.individual[id] = Eigen::Map<const Eigen::VectorXd>(values.data(), Eigen::Index(values.size()));
    const std::vector<tessuvan::binding::PredictedRow> rows = Call(host, [&] {
        return tessuvan::binding::Predict(resultsJson, SourceOf(model, modelText, "(model text)"), OptionsOf(options),
                                          SourceOf(data, dataText, "(newdata text)"), callbacks,
                                          typical.empty() ? nullptr : &pooled);
    });
    py::list out;
    for (const auto& row : rows)
        out.append(py::make_tuple(row.id, row.time, row.output, row.pred, row.ipred, row.line, row.fitted));
    return out;
}

py::dict Map(const std::string& resultsJson, const std::string& prior, bool priorText, const Options& options,
             const std::string& patient, bool patientText, const std::string& id, double until, int points, int draws,
             std::uint64_t seed, bool sir, bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    const tessuvan::binding::PatientTables tables = Call(host, [&] {
        return tessuvan::binding::Map(PriorOf(resultsJson, prior, priorText, options),
                                      SourceOf(patient, patientText, "(patient data)"),
                                      MapRequestOf(id, until, points, draws, seed, sir), callbacks)
            .tables;
    });
    return PatientDict(tables);
}

// regimen: interval, doses, start, infusion, cmt.
py::dict Dose(const std::string& resultsJson, const std::string& prior, bool priorText, const Options& options,
              const std::string& patient, bool patientText, const std::string& id, double until, int points, int draws,
              std::uint64_t seed, bool sir, double interval, int doses, double start, double infusion, int cmt,
              bool steadyState, const std::string& target, double at, double round, double minDose, double maxDose,
              bool quiet)
{
    Host host(quiet);
    const tk::Callbacks callbacks = host.Callbacks();
    const tessuvan::binding::PatientTables tables = Call(host, [&] {
        tk::DoseRequest request;
        request.map = MapRequestOf(id, until, points, draws, seed, sir);
        request.regimen = {interval, doses, start, infusion, cmt, steadyState};
        request.target = target;
        request.at = at;
        request.round = round;
        request.minDose = minDose;
        request.maxDose = maxDose;
        return tessuvan::binding::Dose(PriorOf(resultsJson, prior, priorText, options),
                                       SourceOf(patient, patientText, "(patient data)"), request, callbacks)
            .tables;
    });
    return PatientDict(tables);
}

}  // namespace

PYBIND11_MODULE(_tessuvan, m)
{
    m.doc() = "The Tessuvan toolkit's fits and simulations (use the tessuvan package)";
    py::object base = py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
    py::object error = py::reinterpret_steal<py::object>(PyErr_NewException("tessuvan.Error", base.ptr(), nullptr));
    auto derived = [&](const char* name, PyObject* also) {
        py::tuple bases = also ? py::make_tuple(error, py::handle(also)) : py::make_tuple(error);
        return py::reinterpret_steal<py::object>(PyErr_NewException(name, bases.ptr(), nullptr));
    };
    Exceptions& types = Types();
    types.usage = derived("tessuvan.UsageError", PyExc_ValueError);
    types.input = derived("tessuvan.InputError", PyExc_ValueError);
    types.engine = derived("tessuvan.EngineError", nullptr);
    types.write = derived("tessuvan.WriteError", nullptr);
    m.attr("Error") = error;
    m.attr("UsageError") = types.usage;
    m.attr("InputError") = types.input;
    m.attr("EngineError") = types.engine;
    m.attr("WriteError") = types.write;
    m.def("fit", &Fit, py::arg("(model text)"), py::arg("model_is_text"), py::arg("(data text)"),
          py::arg("data_is_text"), py::arg("quiet"), py::arg("options"));
    m.def("vpc", &Vpc, py::arg("results_json"), py::arg("model"), py::arg("model_is_text"), py::arg("data"),
          py::arg("data_is_text"), py::arg("options"), py::arg("replicates"), py::arg("seed"), py::arg("bins"),
          py::arg("threads"), py::arg("quiet"));
    m.def("replicates", &Replicates, py::arg("results_json"), py::arg("model"), py::arg("model_is_text"),
          py::arg("data"), py::arg("data_is_text"), py::arg("options"), py::arg("replicates"), py::arg("seed"),
          py::arg("threads"), py::arg("quiet"));
    m.def("predict", &Predict, py::arg("results_json"), py::arg("model"), py::arg("model_is_text"), py::arg("options"),
          py::arg("data"), py::arg("data_is_text"), py::arg("quiet"), py::arg("typical"), py::arg("individual"));
    m.def("map", &Map, py::arg("results_json"), py::arg("prior"), py::arg("prior_is_text"), py::arg("options"),
          py::arg("patient"), py::arg("patient_is_text"), py::arg("id"), py::arg("until"), py::arg("points"),
          py::arg("draws"), py::arg("seed"), py::arg("sir"), py::arg("quiet"));
    m.def("dose", &Dose, py::arg("results_json"), py::arg("prior"), py::arg("prior_is_text"), py::arg("options"),
          py::arg("patient"), py::arg("patient_is_text"), py::arg("id"), py::arg("until"), py::arg("points"),
          py::arg("draws"), py::arg("seed"), py::arg("sir"), py::arg("interval"), py::arg("doses"), py::arg("start"),
          py::arg("infusion"), py::arg("cmt"), py::arg("steady_state"), py::arg("target"), py::arg("at"),
          py::arg("round"), py::arg("min_dose"), py::arg("max_dose"), py::arg("quiet"));
    m.def("simulate", &Simulate, py::arg("(model text)"), py::arg("model_is_text"), py::arg("(data text)"),
          py::arg("data_is_text"), py::arg("quiet"));
}
