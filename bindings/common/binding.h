// What the R and Python bindings share over the toolkit's facade: a study from a model and a
// data set each given as a path or as text, and a fit's estimates as flat values. Header-only,
// so that each binding's own build (CMake for Python, R CMD INSTALL for R) compiles it once.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

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

// Two files are loaded as the command loads them (LoadStudy); otherwise the texts are parsed,
// a file's text under its path, so that the reports name it as the command does.
inline tk::Study LoadSources(const Source& model, const Source& data)
{
    if (!model.isText && !data.isText) return tk::LoadStudy(model.pathOrText, data.pathOrText);
    const std::string modelText = ReadSource(model);
    const std::string dataText = ReadSource(data);
    return tk::StudyFromTexts(modelText, model.isText ? model.name : model.pathOrText, dataText,
                              data.isText ? data.name : data.pathOrText);
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
