// What the R and Python bindings share over the toolkit's facade: a study from a model and a
// data set each given as a path or as text, with [fit] keys given as options; a fit's estimates
// as flat values; the calls that read a fit's folder (VPC, replicates) made from a fit in
// memory. Header-only, so that each binding's own build (CMake for Python, R CMD INSTALL for R)
// compiles it once.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <toml++/toml.h>
#include "fmt/format.h"

#include "toolkit/tables.h"
#include "toolkit/toolkit.h"

namespace tessuvan::binding {

namespace tk = tessuvan::toolkit;

// A model or a data set: the path of its file, or its text with the name shown in messages.
struct Source {
    std::string pathOrText;
    bool isText = false;
    std::string name;  // for a text: how messages and reports name it
};

inline std::string ReadSource(const Source& source)
{
    if (source.isText) return source.pathOrText;
    std::ifstream in(source.pathOrText, std::ios::binary);
    if (!in) throw tk::InputError(source.pathOrText + ": cannot be read (no such file, or not readable)");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A key of the model file's [fit] table given beside it (method = "RUNGE-KUTTA 4",
// precision = 1e-8, population_iterations = 50): a whole number becomes a TOML integer.
using OptionValue = std::variant<double, bool, std::string>;
struct Option {
    std::string key;
    OptionValue value;
};

inline std::string OptionText(const OptionValue& value)
{
    if (const double* number = std::get_if<double>(&value)) {
        if (!std::isfinite(*number)) return fmt::format("{}", *number > 0 ? "inf" : *number < 0 ? "-inf" : "nan");
        if (*number == std::floor(*number) && std::fabs(*number) < 9.0e15)
            return fmt::format("{}", std::int64_t(*number));
        return fmt::format("{:.17g}", *number);
    }
    if (const bool* flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
    std::string quoted = "\"";
    for (char c : std::get<std::string>(value)) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;  // no control characters in a setting
        quoted += c;
    }
    return quoted + "\"";
}

// The model's text with the options as keys of its [fit] table (a key written there is taken
// out, the options' lines follow the table's header; without a table one is added at the end),
// so that every check of the model file's keys applies to them (an unknown key, a method that
// does not exist, a value out of range). Only the [fit] lines change: the rest of the text, and
// so the order of its parameters, stays as written. A text that is no TOML is left to the
// model's parser to name its fault.
inline std::string WithFitOptions(const std::string& text, const std::string& name, const std::vector<Option>& options)
{
    if (options.empty()) return text;
    toml::table root;
    try {
        root = toml::parse(text, name);
    } catch (const toml::parse_error&) {
        return text;
    }
    std::string lines;
    for (const Option& option : options) {
        const bool bare = !option.key.empty() && std::all_of(option.key.begin(), option.key.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
        });
        if (!bare) throw tk::UsageError("fit option '" + option.key + "' is not a key of the [fit] table");
        lines += option.key + " = " + OptionText(option.value) + "\n";
    }
    const toml::table* fit = root["fit"].as_table();
    if (root.contains("fit") && (fit == nullptr || fit->is_inline() || fit->source().begin.line == 0))
        throw tk::InputError(name + ": fit: the options are set in a [fit] table; this model writes fit otherwise");
    if (fit == nullptr) return text + (text.empty() || text.back() == '\n' ? "" : "\n") + "[fit]\n" + lines;
    std::vector<std::pair<std::size_t, std::size_t>> removed;  // line ranges (1-based) of keys set again
    for (const Option& option : options)
        if (const toml::node* node = fit->get(option.key))
            removed.emplace_back(node->source().begin.line, node->source().end.line);
    const std::size_t header = fit->source().begin.line;
    std::istringstream in(text);
    std::string out;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        bool skip = false;
        for (const auto& [first, last] : removed) skip = skip || (number >= first && number <= last);
        if (!skip) out += line + "\n";
        if (number == header) out += lines;
    }
    return out;
}

// Two files without options are loaded as the command loads them (LoadStudy); otherwise the
// texts are parsed, a file's text under its path, so that the reports name it as the command
// does (their echo of the model file shows the file, not the options: results.json's settings
// show what ran).
inline tk::Study LoadSources(const Source& model, const Source& data, const std::vector<Option>& options = {})
{
    if (!model.isText && !data.isText && options.empty()) return tk::LoadStudy(model.pathOrText, data.pathOrText);
    const std::string modelName = model.isText ? model.name : model.pathOrText;
    const std::string modelText = WithFitOptions(ReadSource(model), modelName, options);
    const std::string dataText = ReadSource(data);
    return tk::StudyFromTexts(modelText, modelName, dataText, data.isText ? data.name : data.pathOrText);
}

// A folder of the fit a binding made, for the calls that read a fit's folder (Vpc, replicates
// from it): the fit's results.json, the model as it ran (options set) as model.toml and a data
// set given as text as data.csv, in a temporary folder removed with this.
class FitFolder {
public:
    FitFolder(const std::string& resultsJson, const Source& model, const Source& data,
              const std::vector<Option>& options)
    {
        static std::atomic<int> count{0};
        path_ = std::filesystem::temp_directory_path() / fmt::format("tessuvan-fit-{}-{}", ::getpid(), ++count);
        try {
            std::filesystem::create_directories(path_);
        } catch (const std::filesystem::filesystem_error& error) {
            throw tk::WriteError(path_.string() + ": cannot be made (" + error.code().message() + ")");
        }
        Write("results.json", resultsJson);
        Write("model.toml", WithFitOptions(ReadSource(model), model.isText ? model.name : model.pathOrText, options));
        model_ = path_ / "model.toml";
        if (data.isText) Write("data.csv", data.pathOrText);
        data_ = data.isText ? path_ / "data.csv" : std::filesystem::path(data.pathOrText);
    }
    ~FitFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FitFolder(const FitFolder&) = delete;
    FitFolder& operator=(const FitFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    const std::filesystem::path& Model() const { return model_; }
    const std::filesystem::path& Data() const { return data_; }

private:
    void Write(const std::string& name, const std::string& text) const
    {
        std::ofstream out(path_ / name, std::ios::binary);
        out << text;
        out.close();
        if (!out) throw tk::WriteError("cannot write " + (path_ / name).string());
    }
    std::filesystem::path path_, model_, data_;
};

// A visual predictive check of a FOCEI fit a binding made, as Vpc makes it of the fit's folder:
// vpc.csv.
inline std::string VpcTable(const std::string& resultsJson, const Source& model, const Source& data,
                            const std::vector<Option>& options, tk::VpcRequest request, const tk::Callbacks& callbacks)
{
    const FitFolder folder(resultsJson, model, data, options);
    request.fit = folder.Path();
    request.model = folder.Model();
    request.data = folder.Data();
    return tk::TablesOf(tk::Vpc(request, callbacks)).File("vpc.csv");
}

// Replicates of the data set's design with θ, Ω and σ of a FOCEI fit a binding made, as
// `tessuvan simulate --replicates N --from FIT` makes them: simulations.csv.
inline std::string ReplicatesTable(const std::string& resultsJson, const Source& model, const Source& data,
                                   const std::vector<Option>& options, tk::ReplicateRequest request,
                                   const tk::Callbacks& callbacks)
{
    const FitFolder folder(resultsJson, model, data, options);
    request.from = folder.Path();
    const tk::Study study = tk::LoadStudy(folder.Model(), folder.Data());
    const tk::ReplicateSimulation simulation = tk::SimulateReplicates(study, request, callbacks);
    const std::filesystem::path out = folder.Path() / "replicates";
    tk::Write(simulation, out, callbacks);
    return ReadSource(Source{(out / "simulations.csv").string(), false, {}});
}

// The command's exit statuses by kind, and a short name of the kind for the hosts' conditions.
struct Kind {
    const char* name;
    int status;
};
inline Kind KindOf(const tk::Error& error)
{
    if (dynamic_cast<const tk::UsageError*>(&error)) return {"usage", 1};
    if (dynamic_cast<const tk::InputError*>(&error)) return {"input", 2};
    if (dynamic_cast<const tk::EngineError*>(&error)) return {"engine", 3};
    if (dynamic_cast<const tk::Cancelled*>(&error)) return {"cancelled", 0};
    return {"write", 4};
}

// Every message as the command shows it.
inline std::string Message(const std::exception& error) { return std::string("tessuvan: ") + error.what(); }

// Every θ, ω² and σ of a FOCEI fit under the names its covariance step gives them: θ by its
// parameter's name, "omega(ka)", "sigma(additive)".
struct Parameter {
    std::string label;
    const char* kind;  // "theta", "omega", "sigma"
    estimation::Estimated estimate;
};
inline std::vector<Parameter> Parameters(const estimation::FoceiResult& fit)
{
    std::vector<Parameter> all;
    for (const auto& e : fit.theta) all.push_back({e.name, "theta", e});
    for (const auto& e : fit.omega) all.push_back({"omega(" + e.name + ")", "omega", e});
    for (const auto& e : fit.sigma) all.push_back({"sigma(" + e.name + ")", "sigma", e});
    return all;
}

// The covariance of the estimated parameters from their standard errors and correlations,
// row-major in the order of FoceiResult::correlationNames. Every estimate is searched in its
// logarithm, so SE = value·SE(ln) and the correlation of the values is that of their logarithms
// (first order): C_ab = SE_a r_ab SE_b, r made symmetric to the last bit. Empty when the covariance step failed.
inline std::vector<double> Covariance(const estimation::FoceiResult& fit)
{
    const std::size_t n = fit.correlationNames.size();
    if (!fit.covarianceDone || std::size_t(fit.correlation.rows()) != n || std::size_t(fit.correlation.cols()) != n)
        return {};
    std::vector<double> se(n, 0.0);
    const std::vector<Parameter> parameters = Parameters(fit);
    for (std::size_t a = 0; a < n; ++a)
        for (const Parameter& p : parameters)
            if (p.label == fit.correlationNames[a]) se[a] = p.estimate.se;
    std::vector<double> covariance(n * n);
    for (std::size_t a = 0; a < n; ++a)
        for (std::size_t b = 0; b < n; ++b)
            covariance[a * n + b] = se[a] * se[b] * 0.5 *
                                    (fit.correlation(Eigen::Index(a), Eigen::Index(b)) +
                                     fit.correlation(Eigen::Index(b), Eigen::Index(a)));  // symmetric to the bit
    return covariance;
}

}  // namespace tessuvan::binding
