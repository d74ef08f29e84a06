#include <cmath>
#include <tuple>

#include "model/model_reader.h"

namespace tessuvan::cli::model_reading {

namespace {

// omega = 0.1 or omega = { value = 0.1, fixed = true }.
std::pair<double, bool> ValueAndFixed(Reader& reader, const toml::node& node, const std::string& key)
{
    if (const toml::table* fields = node.as_table()) {
        reader.OnlyKeys(*fields, key + ".", {"value", "fixed"});
        const toml::node* value = fields->get("value");
        if (value == nullptr) reader.Fail(&node, key, "needs a value");
        bool fixed = false;
        if (const toml::node* flag = fields->get("fixed")) {
            if (!flag->is_boolean()) reader.Fail(flag, key + ".fixed", "true or false is expected");
            fixed = flag->as_boolean()->get();
        }
        return {reader.Number(*value, key + ".value"), fixed};
    }
    return {reader.Number(node, key), false};
}

}  // namespace

void ReadVariability(Reader& reader, const toml::node& node, const std::string& key, ParameterSpec& parameter)
{
    const auto [value, fixed] = ValueAndFixed(reader, node, key);
    if (!(value > 0)) reader.Fail(&node, key, "a variance must be positive");
    parameter.omega = value;
    parameter.omegaFixed = fixed;
}

void ReadError(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    reader.OnlyKeys(*section, "error.", {"additive", "proportional"});
    // One term of the error: present, its value (positive, `unit` says of what) and whether fixed.
    const auto term = [&](const char* name, const char* unit, bool& present, double& value, bool& fixed) {
        const toml::node* node = section->get(name);
        if (node == nullptr) return;
        const std::string key = std::string("error.") + name;
        std::tie(value, fixed) = ValueAndFixed(reader, *node, key);
        if (!(value > 0)) reader.Fail(node, key, std::string("a ") + unit + " must be positive");
        present = true;
    };
    ErrorSpec& error = model.error;
    term("additive", "standard deviation", error.additive, error.additiveValue, error.additiveFixed);
    term("proportional", "fraction", error.proportional, error.proportionalValue, error.proportionalFixed);
}

// The estimation asked for, or by default focei when any parameter has an omega; focei needs
// a residual error, and the engine's own fit knows neither omega nor [error].
void ReadEstimation(Reader& reader, Model& model, const toml::table* fit, const toml::table* error)
{
    bool anyOmega = false;
    for (const ParameterSpec& parameter : model.parameters) anyOmega = anyOmega || parameter.omega > 0;
    model.fit.estimation = anyOmega ? Estimation::Focei : Estimation::Pooled;
    const toml::node* node = fit != nullptr ? fit->get("estimation") : nullptr;
    if (node != nullptr) {
        const std::string words = reader.String(*node, "fit.estimation");
        if (words == "focei")
            model.fit.estimation = Estimation::Focei;
        else if (words == "pooled")
            model.fit.estimation = Estimation::Pooled;
        else
            reader.Fail(node, "fit.estimation", "'" + words + "' is not an estimation (focei, pooled)");
    }
    if (model.fit.estimation == Estimation::Focei) {
        if (!model.error.additive && !model.error.proportional)
            reader.Fail(error, "error",
                        "estimation \"focei\" needs a residual error: [error] additive and/or proportional");
        for (const ParameterSpec& parameter : model.parameters)
            if (parameter.omega > 0 && !parameter.formula.empty())
                reader.Fail(nullptr, "parameters." + parameter.name + ".omega",
                            "a parameter defined by a formula has no variability of its own");
    } else {
        if (anyOmega) reader.Fail(node, "fit.estimation", "\"pooled\" knows no omega; remove them or use \"focei\"");
        if (error != nullptr)
            reader.Fail(error, "error", "\"pooled\" weighs by error_exponent; [error] is for \"focei\"");
    }
}

}  // namespace tessuvan::cli::model_reading
