// The model file's reader of TOML nodes: every failure names the file, the line and the key;
// and the readers of the model file's population part ([error], omega, the estimation).
#pragma once

#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include <toml++/toml.h>

#include "model/model_file.h"
#include "model/number_text.h"

namespace tessuvan::cli::model_reading {

inline std::string Short(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

class Reader {
public:
    explicit Reader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void Fail(const toml::node* at, const std::string& key, const std::string& message) const
    {
        throw ModelError(Said(at, key, message));
    }

    // "file:line: key: message", the form of every failure and warning of the model file.
    std::string Said(const toml::node* at, const std::string& key, const std::string& message) const
    {
        std::ostringstream text;
        text << source_;
        if (at != nullptr && at->source().begin.line > 0) text << ":" << at->source().begin.line;
        text << ": " << key << ": " << message;
        return text.str();
    }

    // Members of a table in the order they are written (toml++ keeps them sorted by key).
    static std::vector<std::pair<std::string, const toml::node*>> InOrder(const toml::table& table)
    {
        std::vector<std::pair<std::string, const toml::node*>> members;
        for (auto&& [key, node] : table) members.emplace_back(std::string(key.str()), &node);
        std::stable_sort(members.begin(), members.end(), [](const auto& a, const auto& b) {
            const auto& pa = a.second->source().begin;
            const auto& pb = b.second->source().begin;
            return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
        });
        return members;
    }

    void OnlyKeys(const toml::table& table, const std::string& prefix, std::initializer_list<std::string_view> known)
    {
        for (auto&& [key, node] : table)
            if (std::find(known.begin(), known.end(), key.str()) == known.end())
                Fail(&node, prefix + std::string(key.str()), "unknown key");
    }

    double Number(const toml::node& node, const std::string& key) const
    {
        if (auto integer = node.as_integer()) return static_cast<double>(integer->get());
        if (auto real = node.as_floating_point()) return real->get();
        Fail(&node, key, "a number is expected");
    }

    // A value the engine holds as a 32-bit float (a parameter's value, prior or deviation) or
    // that a simulation draws with (ω², σ): finite and within the largest 32-bit float.
    double Finite(const toml::node& node, const std::string& key) const
    {
        const double value = Number(node, key);
        if (!std::isfinite(value)) Fail(&node, key, "must be a finite number");
        if (std::fabs(value) > std::numeric_limits<float>::max())
            Fail(&node, key,
                 NumberText(value) + " is beyond the largest 32-bit float (" +
                     Short(std::numeric_limits<float>::max()) + "), the type in which the engine receives it");
        return value;
    }

    // A setting the engine receives as a 32-bit float: refused unless the conversion keeps it
    // (finite, and not so small that it becomes 0 or loses digits as a subnormal).
    double Single(const toml::node& node, const std::string& key) const
    {
        const double value = Finite(node, key);
        const double magnitude = std::fabs(value);
        if (magnitude != 0 && magnitude < std::numeric_limits<float>::min())
            Fail(&node, key,
                 NumberText(value) + " is below the smallest normal 32-bit float (" +
                     Short(std::numeric_limits<float>::min()) +
                     "), the type in which the engine receives it: it would arrive as " +
                     NumberText(double(float(value))));
        return value;
    }

    int Integer(const toml::node& node, const std::string& key, int low, int high) const
    {
        auto integer = node.as_integer();
        if (!integer) Fail(&node, key, "a whole number is expected");
        if (integer->get() < low || integer->get() > high)
            Fail(&node, key, "must be between " + std::to_string(low) + " and " + std::to_string(high));
        return static_cast<int>(integer->get());
    }

    std::string String(const toml::node& node, const std::string& key) const
    {
        auto text = node.as_string();
        if (!text) Fail(&node, key, "a text in quotes is expected");
        return text->get();
    }

    const std::string& source() const { return source_; }

private:
    std::string source_;
};

// omega = 0.1 or omega = { value = 0.1, fixed = true }, of parameters.<name>.omega.
void ReadVariability(Reader& reader, const toml::node& node, const std::string& key, ParameterSpec& parameter);
// scale and variability of parameters.<name>, after its value, omega and estimate.
void ReadScale(Reader& reader, const toml::table& fields, const std::string& key, ParameterSpec& parameter);
// iov = 0.04 or iov = { value = 0.04, fixed = true }, of parameters.<name>.iov.
void ReadOccasionVariability(Reader& reader, const toml::node& node, const std::string& key, ParameterSpec& parameter);
// [data]: covariates = "NOCB" | "LOCF", occasion = "OCC".
void ReadDataOptions(Reader& reader, Model& model, const toml::table* section);
// With any iov: the occasion column as a covariate (to be read from the data set), and with
// `occasions` a κ per occasion and parameter with an iov (model/occasions.h).
void AddOccasions(Reader& reader, Model& model, const std::vector<long>& occasions, int maxParameters,
                  int maxCovariates);
// [error]: additive and/or proportional, each a value or { value, fixed }.
void ReadError(Reader& reader, Model& model, const toml::table* section);
// [units]: time = "h" and each output's unit by its name, as labels of the plots (optional).
void ReadUnits(Reader& reader, Model& model, const toml::table* section);
// [omega]: blocks, correlations and fixed_blocks over the parameters with an omega.
void ReadOmegaBlocks(Reader& reader, Model& model, const toml::table* section);
// The estimation asked for, or by default focei when any parameter has an omega.
void ReadEstimation(Reader& reader, Model& model, const toml::table* fit, const toml::table* error);
// Warnings of parts that do nothing: a compartment without a rate, and an estimated parameter
// that no formula reads (`parsed`: every formula read, `definitions` among them those of the
// parameters, by parameter), which the observations cannot determine.
void WarnOfUnusedParts(const Reader& reader, Model& model, const toml::table& root, const std::vector<NodePtr>& parsed,
                       const std::vector<NodePtr>& definitions);

}  // namespace tessuvan::cli::model_reading
