#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>

#include <Eigen/Dense>

#include "model/model_reader.h"
#include "model/occasions.h"
#include "population/population_model.h"

namespace tessuvan::cli::model_reading {

namespace {

// omega = 0.1 or omega = { value = 0.1, fixed = true }; the value finite.
std::pair<double, bool> ValueAndFixed(Reader& reader, const toml::node& node, const std::string& key)
{
    const auto finite = [&reader](const toml::node& at, const std::string& where) {
        const double number = reader.Number(at, where);
        if (!std::isfinite(number)) reader.Fail(&at, where, "must be a finite number");
        return number;
    };
    if (const toml::table* fields = node.as_table()) {
        reader.OnlyKeys(*fields, key + ".", {"value", "fixed"});
        const toml::node* value = fields->get("value");
        if (value == nullptr) reader.Fail(&node, key, "needs a value");
        bool fixed = false;
        if (const toml::node* flag = fields->get("fixed")) {
            if (!flag->is_boolean()) reader.Fail(flag, key + ".fixed", "true or false is expected");
            fixed = flag->as_boolean()->get();
        }
        return {finite(*value, key + ".value"), fixed};
    }
    return {finite(node, key), false};
}

// A variance of a random effect and whether it is fixed: positive, and within the ceiling the
// population search keeps ω under (`ceiling` says what that ceiling is of).
std::pair<double, bool> ReadVariance(Reader& reader, const toml::node& node, const std::string& key,
                                     const std::string& ceiling)
{
    const auto [value, fixed] = ValueAndFixed(reader, node, key);
    if (!(value > 0)) reader.Fail(&node, key, "a variance must be positive");
    if (value > population::kLargestOmegaSd * population::kLargestOmegaSd)
        reader.Fail(&node, key,
                    NumberText(value) + " is above " +
                        Short(population::kLargestOmegaSd * population::kLargestOmegaSd) + ceiling);
    return {value, fixed};
}

}  // namespace

// The population search keeps ω within its ceiling; a start beyond it is no variance the search
// could return to, and a simulation drawing from it spreads the individual values over more than
// a factor e^10 at two standard deviations.
void ReadVariability(Reader& reader, const toml::node& node, const std::string& key, ParameterSpec& parameter)
{
    std::tie(parameter.omega, parameter.omegaFixed) =
        ReadVariance(reader, node, key,
                     ", the largest variance of ln(value) (an SD of " + Short(population::kLargestOmegaSd) +
                         ") the population search reaches");
}

void ReadOccasionVariability(Reader& reader, const toml::node& node, const std::string& key, ParameterSpec& parameter)
{
    std::tie(parameter.iov, parameter.iovFixed) =
        ReadVariance(reader, node, key, ", the largest variance the population search reaches");
}

void ReadDataOptions(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    reader.OnlyKeys(*section, "data.", {"covariates", "occasion"});
    if (const toml::node* node = section->get("covariates")) {
        const std::string words = reader.String(*node, "data.covariates");
        if (words == "NOCB")
            model.covariateSteps = CovariateSteps::NextObservation;
        else if (words == "LOCF")
            model.covariateSteps = CovariateSteps::LastObservation;
        else
            reader.Fail(node, "data.covariates", "'" + words + "' is neither \"NOCB\" nor \"LOCF\"");
    }
    if (const toml::node* node = section->get("occasion")) {
        model.occasionColumn = reader.String(*node, "data.occasion");
        if (model.occasionColumn.empty()) reader.Fail(node, "data.occasion", "the name of a column is expected");
        if (std::none_of(model.parameters.begin(), model.parameters.end(),
                         [](const ParameterSpec& parameter) { return parameter.iov > 0; }))
            model.warnings.push_back(
                reader.Said(node, "data.occasion", "no parameter has an iov: the occasions change nothing"));
    }
}

void AddOccasions(Reader& reader, Model& model, const std::vector<long>& occasions, int maxParameters,
                  int maxCovariates)
{
    std::vector<std::size_t> varying;
    for (std::size_t p = 0; p < model.parameters.size(); ++p) {
        if (!(model.parameters[p].iov > 0)) continue;
        if (!model.parameters[p].formula.empty())
            reader.Fail(nullptr, "parameters." + model.parameters[p].name + ".iov",
                        "a parameter defined by a formula has no variability of its own");
        varying.push_back(p);
    }
    if (varying.empty()) return;
    if (int(model.covariates.size()) + 1 > maxCovariates)
        reader.Fail(nullptr, "data.occasion",
                    "the occasion column is one covariate too many (at most " + std::to_string(maxCovariates) + ")");
    CovariateSpec column{model.occasionColumn, model.occasionColumn, nullptr};
    column.occasion = true;
    model.covariates.push_back(column);
    model.occasions = occasions;
    if (int(model.parameters.size() + varying.size() * occasions.size()) > maxParameters)
        reader.Fail(
            nullptr, "parameters",
            std::to_string(occasions.size()) + " occasions give " + std::to_string(varying.size() * occasions.size()) +
                " random effects of occasion, beyond the engine's " + std::to_string(maxParameters) + " parameters");
    for (std::size_t p : varying)
        for (long occasion : occasions) {
            ParameterSpec kappa;
            kappa.name = OccasionParameterName(model.parameters[p].name, occasion);
            for (const ParameterSpec& other : model.parameters)
                if (other.name == kappa.name)
                    reader.Fail(nullptr, "parameters." + kappa.name,
                                "the name of the random effect of occasion " + std::to_string(occasion) + " of " +
                                    model.parameters[p].name + ": rename this parameter");
            kappa.estimate = Estimate::Fixed;
            kappa.omega = model.parameters[p].iov;
            kappa.omegaFixed = model.parameters[p].iovFixed;
            kappa.scale = population::Scale::Linear;
            kappa.occasionOf = model.parameters[p].name;
            kappa.occasion = occasion;
            model.parameters.push_back(kappa);
        }
}

namespace {

// The terms of one error section ([error] or [error.NAME]) at `prefix` ("error." or "error.NAME.").
ErrorSpec ReadErrorTerms(Reader& reader, const toml::table& section, const std::string& prefix)
{
    // One term of the error: present, its value (positive, `unit` says of what) and whether fixed.
    const auto term = [&](const char* name, const char* unit, bool& present, double& value, bool& fixed) {
        const toml::node* node = section.get(name);
        if (node == nullptr) return;
        const std::string key = prefix + name;
        std::tie(value, fixed) = ValueAndFixed(reader, *node, key);
        if (!(value > 0)) reader.Fail(node, key, std::string("a ") + unit + " must be positive");
        present = true;
    };
    ErrorSpec error;
    term("additive", "standard deviation", error.additive, error.additiveValue, error.additiveFixed);
    term("proportional", "fraction", error.proportional, error.proportionalValue, error.proportionalFixed);
    term("exponential", "standard deviation", error.exponential, error.exponentialValue, error.exponentialFixed);
    if (error.exponential && (error.additive || error.proportional))
        reader.Fail(section.get("exponential"), prefix + "exponential",
                    "an exponential error (ln y = ln f + e) stands alone, without additive or proportional");
    return error;
}

std::string OutputNames(const Model& model)
{
    std::string names;
    for (const NamedFormula& output : model.outputs) names += (names.empty() ? "" : ", ") + output.name;
    return names;
}

}  // namespace

void ReadError(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    // [error.NAME] are tables within [error] named after an output; the other keys are [error]'s own
    // terms (a term may be a table itself: { value, fixed }).
    const auto isOutput = [&](std::string_view name) {
        return std::any_of(model.outputs.begin(), model.outputs.end(),
                           [&](const NamedFormula& output) { return output.name == name; });
    };
    std::vector<std::pair<std::string, const toml::table*>> perOutput;
    for (auto&& [key, node] : *section) {
        const std::string name(key.str());
        if (name == "additive" || name == "proportional" || name == "exponential") continue;
        if (node.as_table() != nullptr && isOutput(name)) {
            perOutput.emplace_back(name, node.as_table());
            continue;
        }
        if (node.as_table() != nullptr)
            reader.Fail(&node, "error." + name,
                        "[error." + name + "] names no output of the model (outputs: " + OutputNames(model) + ")");
        reader.Fail(&node, "error." + name, "unknown key");
    }
    model.error = ReadErrorTerms(reader, *section, "error.");
    if (perOutput.empty()) return;
    if (model.error.additive || model.error.proportional || model.error.exponential)
        reader.Fail(section, "error",
                    "either [error] for every output or [error.NAME] for each, not both ([error] has terms of its "
                    "own beside [error.NAME] sections)");
    for (const NamedFormula& output : model.outputs) {
        const auto at =
            std::find_if(perOutput.begin(), perOutput.end(), [&](const auto& e) { return e.first == output.name; });
        if (at == perOutput.end())
            reader.Fail(section, "error." + output.name,
                        "the output " + output.name +
                            " has no error section: with [error.NAME] every output needs "
                            "its own (outputs: " +
                            OutputNames(model) + ")");
        const std::string prefix = "error." + output.name + ".";
        reader.OnlyKeys(*at->second, prefix, {"additive", "proportional", "exponential"});
        ErrorSpec error = ReadErrorTerms(reader, *at->second, prefix);
        if (!error.additive && !error.proportional && !error.exponential)
            reader.Fail(at->second, "error." + output.name, "needs additive and/or proportional, or exponential");
        error.output = output.name;
        model.outputErrors.push_back(error);
    }
}

namespace {

// One block of omega.blocks or omega.fixed_blocks: a list of names of parameters with an
// omega, none of them in an earlier block, sorted into the parameters' order.
StatedOmegaBlock ReadBlock(Reader& reader, const Model& model, const toml::node& node, const std::string& key,
                           const std::vector<StatedOmegaBlock>& earlier)
{
    const toml::array* names = node.as_array();
    if (names == nullptr) reader.Fail(&node, key, "a list of parameter names is expected, such as [\"CL\", \"V\"]");
    if (names->size() < 2) reader.Fail(&node, key, "a block needs at least two parameters");
    std::vector<std::size_t> members;
    for (const toml::node& entry : *names) {
        const std::string name = reader.String(entry, key);
        std::size_t p = 0;
        while (p < model.parameters.size() && model.parameters[p].name != name) ++p;
        if (p == model.parameters.size() || !(model.parameters[p].omega > 0))
            reader.Fail(&entry, key, "'" + name + "' is not a parameter with an omega");
        if (std::find(members.begin(), members.end(), p) != members.end())
            reader.Fail(&entry, key, "'" + name + "' is named twice");
        for (const StatedOmegaBlock& block : earlier)
            if (std::find(block.names.begin(), block.names.end(), name) != block.names.end())
                reader.Fail(&entry, key, "'" + name + "' is already in another block");
        members.push_back(p);
    }
    std::sort(members.begin(), members.end());
    StatedOmegaBlock block;
    for (std::size_t p : members) block.names.push_back(model.parameters[p].name);
    const std::size_t n = members.size();
    block.correlation.assign(n * n, 0.0);
    for (std::size_t r = 0; r < n; ++r) block.correlation[r * n + r] = 1;
    return block;
}

// Where in a block a name is, or its size when not there.
std::size_t PlaceIn(const StatedOmegaBlock& block, const std::string& name)
{
    return std::size_t(std::find(block.names.begin(), block.names.end(), name) - block.names.begin());
}

}  // namespace

void ReadUnits(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    for (auto&& [name, node] : *section) {
        const std::string unitOf(name.str());  // a copy: a lambda may not capture a structured binding
        const std::string key = "units." + unitOf;
        if (unitOf == "time") {
            model.timeUnit = reader.String(node, key);
            continue;
        }
        auto output = std::find_if(model.outputs.begin(), model.outputs.end(),
                                   [&](const NamedFormula& entry) { return entry.name == unitOf; });
        if (output == model.outputs.end()) reader.Fail(&node, key, "not an output (units are of time and of outputs)");
        output->unit = reader.String(node, key);
    }
}

void ReadOmegaBlocks(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    reader.OnlyKeys(*section, "omega.", {"blocks", "correlations", "fixed_blocks"});
    if (model.fit.estimation != Estimation::Focei)
        reader.Fail(section, "omega", "blocks of omega are estimated by \"focei\" only");
    for (const char* key : {"blocks", "fixed_blocks"}) {
        const toml::node* node = section->get(key);
        if (node == nullptr) continue;
        const std::string where = std::string("omega.") + key;
        const toml::array* list = node->as_array();
        if (list == nullptr) reader.Fail(node, where, "a list of blocks is expected, such as [[\"CL\", \"V\"]]");
        for (const toml::node& entry : *list) {
            StatedOmegaBlock block = ReadBlock(reader, model, entry, where, model.omegaBlocks);
            block.fixed = std::string_view(key) == "fixed_blocks";
            for (const std::string& name : block.names)
                for (const ParameterSpec& parameter : model.parameters)
                    if (parameter.name == name && parameter.omegaFixed && !block.fixed)
                        reader.Fail(&entry, where,
                                    "'" + name +
                                        "' has a fixed omega in an estimated block: fix the whole block "
                                        "with omega.fixed_blocks");
            model.omegaBlocks.push_back(std::move(block));
        }
    }
    if (const toml::node* node = section->get("correlations")) {
        const toml::table* table = node->as_table();
        if (table == nullptr)
            reader.Fail(node, "omega.correlations", "a table is expected, such as { \"CL:V\" = 0.3 }");
        for (auto&& [pair, value] : *table) {
            const std::string key = "omega.correlations." + std::string(pair.str());
            const std::string text(pair.str());
            const std::size_t colon = text.find(':');
            if (colon == std::string::npos)
                reader.Fail(&value, key,
                            "two parameter names with a colon between them are expected, such as \"CL:V\"");
            const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
            StatedOmegaBlock* holder = nullptr;
            for (StatedOmegaBlock& block : model.omegaBlocks)
                if (PlaceIn(block, a) < block.names.size() && PlaceIn(block, b) < block.names.size()) holder = &block;
            if (holder == nullptr || a == b)
                reader.Fail(&value, key,
                            "'" + a + "' and '" + b + "' are not two parameters of one block of omega.blocks");
            const double r = reader.Number(value, key);
            if (!(r > -1 && r < 1)) reader.Fail(&value, key, "a correlation must lie between -1 and 1 (both excluded)");
            const std::size_t n = holder->names.size(), i = PlaceIn(*holder, a), j = PlaceIn(*holder, b);
            holder->correlation[i * n + j] = holder->correlation[j * n + i] = r;
        }
    }
    for (const StatedOmegaBlock& block : model.omegaBlocks) {
        const Eigen::Index n = Eigen::Index(block.names.size());
        const Eigen::MatrixXd correlation = Eigen::Map<const Eigen::MatrixXd>(block.correlation.data(), n, n);
        if (Eigen::LLT<Eigen::MatrixXd>(correlation).info() != Eigen::Success ||
            Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(correlation).eigenvalues().minCoeff() <= 1e-12) {
            std::string names;
            for (const std::string& name : block.names) names += (names.empty() ? "" : ", ") + name;
            reader.Fail(section, "omega.correlations",
                        "the starting covariance of the block " + names +
                            " is not positive definite: its correlations contradict one another");
        }
    }
}

// The estimation asked for, or by default focei when any parameter has an omega; focei needs
// a residual error, and the engine's own fit knows neither omega nor [error].
void ReadEstimation(Reader& reader, Model& model, const toml::table* fit, const toml::table* error)
{
    bool anyOmega = false;
    for (const ParameterSpec& parameter : model.parameters)
        anyOmega = anyOmega || parameter.omega > 0 || parameter.iov > 0;
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
        if (!model.HasError())
            reader.Fail(error, "error",
                        "estimation \"focei\" needs a residual error: [error] additive and/or proportional, or "
                        "exponential");
        for (const ParameterSpec& parameter : model.parameters)
            if (parameter.omega > 0 && !parameter.formula.empty())
                reader.Fail(nullptr, "parameters." + parameter.name + ".omega",
                            "a parameter defined by a formula has no variability of its own");
    } else {
        if (anyOmega) reader.Fail(node, "fit.estimation", "\"pooled\" knows no omega; remove them or use \"focei\"");
        for (const ParameterSpec& parameter : model.parameters)
            if (parameter.scale != population::Scale::Log)
                reader.Fail(nullptr, "parameters." + parameter.name + ".scale",
                            "the engine's pooled fit steps every value relative to itself; a scale is for \"focei\"");
        if (error != nullptr)
            reader.Fail(error, "error", "\"pooled\" weighs by error_exponent; [error] is for \"focei\"");
    }
}

// scale = "log" (the default) | "linear" | "logit" and variability = "lognormal" (the default)
// | "normal" | "logit": η adds on the scale on which θ is searched, so the two name one scale
// (normal η on the linear scale, logit η on the logit) and must agree when both are given.
void ReadScale(Reader& reader, const toml::table& fields, const std::string& key, ParameterSpec& parameter)
{
    using population::Scale;
    const toml::node* scale = fields.get("scale");
    const toml::node* variability = fields.get("variability");
    std::optional<Scale> stated, ofEta;
    if (scale != nullptr) {
        const std::string words = reader.String(*scale, key + ".scale");
        for (Scale s : {Scale::Log, Scale::Linear, Scale::Logit})
            if (words == population::ScaleWords(s)) stated = s;
        if (!stated) reader.Fail(scale, key + ".scale", "'" + words + "' is not a scale (log, linear, logit)");
    }
    if (variability != nullptr) {
        const std::string words = reader.String(*variability, key + ".variability");
        if (words == "lognormal")
            ofEta = Scale::Log;
        else if (words == "normal")
            ofEta = Scale::Linear;
        else if (words == "logit")
            ofEta = Scale::Logit;
        else
            reader.Fail(variability, key + ".variability",
                        "'" + words + "' is not a distribution of eta (lognormal, normal, logit)");
        if (!(parameter.omega > 0))
            reader.Fail(variability, key + ".variability", "needs an omega (the variance of eta)");
        if (stated && *stated != *ofEta)
            reader.Fail(variability, key + ".variability",
                        "\"" + words + "\" adds eta on the " + population::ScaleWords(*ofEta) +
                            " scale, but scale is \"" + population::ScaleWords(*stated) +
                            "\": eta adds on the scale theta is searched on (give one of the two)");
    }
    parameter.scale = stated ? *stated : ofEta ? *ofEta : Scale::Log;
    if ((stated || ofEta) && !parameter.formula.empty())
        reader.Fail(scale != nullptr ? scale : variability, key, "a parameter defined by a formula has no scale");
    if (parameter.scale == Scale::Logit && parameter.estimate != Estimate::Fixed &&
        !(parameter.value > 0 && parameter.value < 1))
        reader.Fail(fields.get("value"), key + ".value",
                    "a parameter on the logit scale lies strictly between 0 and 1");
}

}  // namespace tessuvan::cli::model_reading
