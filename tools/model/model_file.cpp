#include "model/model_file.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include <toml++/toml.h>

#include "model/conditions.h"
#include "model/engine_text.h"
#include "model/input_file.h"
#include "model/model_reader.h"
#include "model/number_text.h"
#include "model/occasions.h"
#include "model/rate_split.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

// In the order of Estimate's values (the engine's codes 0 to 3).
const char* EstimateWords(Estimate estimate)
{
    static const char* const words[] = {"fixed", "individual", "population and individual", "population"};
    return words[static_cast<int>(estimate)];
}

int Model::CompartmentNumber(std::string_view name) const
{
    for (std::size_t s = 0; s < compartments.size(); ++s)
        if (compartments[s] == name) return static_cast<int>(s + 1);
    return 0;
}

namespace {

using namespace model_reading;

// The engine's capacities (tessuvan/tessuvan.h).
constexpr int kMaxSpecies = MaxSpecies;
constexpr int kMaxAdjustables = MaxAdjustables;
constexpr int kMaxOutputs = MaxOutputs;
constexpr int kMaxPParameters = MaxPParameters;
constexpr int kMaxQParameters = MaxQParameters;

bool IsIdentifier(std::string_view name)
{
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

bool IsReserved(std::string_view name)
{
    for (std::string_view reserved : {"t", "T", "time", "exp", "log", "ln", "sqrt", "if", "and", "or", "not"})
        if (name == reserved) return true;
    return false;
}

class Translator {
public:
    Translator(Reader& reader, Model& model) : reader_(reader), model_(model) {}

    // Declares a name; a name without symbol (an output) is taken but cannot be read.
    void Declare(const toml::node* at, const std::string& key, const std::string& name, std::optional<Symbol> symbol)
    {
        if (!IsIdentifier(name))
            reader_.Fail(at, key, "'" + name + "' is not a name (letters, digits and _, starting with a letter)");
        if (IsReserved(name)) reader_.Fail(at, key, "'" + name + "' is reserved (time or a function)");
        if (names_.count(name) != 0) reader_.Fail(at, key, "the name '" + name + "' is declared twice");
        names_[name] = symbol;
    }

    // Parses a formula written by names; `forbidden` kinds may not appear in it.
    NodePtr Parse(const toml::node* at, const std::string& key, const std::string& text,
                  std::initializer_list<SymbolKind> forbidden = {})
    {
        NameLookup lookup = [this](std::string_view name) -> std::optional<Symbol> {
            if (name == "t" || name == "time") return Symbol{SymbolKind::Time, 0};
            auto found = names_.find(std::string(name));
            if (found == names_.end()) return std::nullopt;
            return found->second;  // an output's name reads as unknown
        };
        NodePtr tree;
        try {
            tree = WithOccasions(ParseFormula(text, lookup), model_);
        } catch (const FormulaError& error) {
            reader_.Fail(at, key,
                         std::string(error.what()) + " (at character " + std::to_string(error.column()) + " of \"" +
                             text + "\")");
        }
        for (SymbolKind kind : forbidden)
            if (ReadsKind(*tree, kind)) reader_.Fail(at, key, "\"" + text + "\" may not read " + KindWords(kind));
        parsed_.push_back(tree);
        return Lowered(at, key, tree);
    }

    const std::vector<NodePtr>& Parsed() const { return parsed_; }  // every formula, in the order read

private:
    // The conditions of a formula as covariates of their own (model/conditions.h).
    NodePtr Lowered(const toml::node* at, const std::string& key, const NodePtr& tree)
    {
        try {
            return LowerIntoModel(tree, model_, kMaxQParameters);
        } catch (const ConditionError& error) {
            reader_.Fail(at, key, error.what());
        }
    }

    // In the order of SymbolKind.
    static std::string KindWords(SymbolKind kind)
    {
        static const char* const words[] = {"compartment amounts", "parameters", "P parameters", "covariates",
                                            "the time"};
        return words[static_cast<int>(kind)];
    }

    Reader& reader_;
    Model& model_;
    std::map<std::string, std::optional<Symbol>> names_;
    std::vector<NodePtr> parsed_;
};

Estimate EstimateFromWords(Reader& reader, const toml::node& node, const std::string& key)
{
    const std::string words = reader.String(node, key);
    for (Estimate estimate :
         {Estimate::Fixed, Estimate::IndividualOnly, Estimate::PopulationAndIndividual, Estimate::PopulationOnly})
        if (words == EstimateWords(estimate)) return estimate;
    reader.Fail(&node, key,
                "'" + words + "' is not a way to estimate (fixed, individual, population and individual, population)");
}

void ReadCompartments(Reader& reader, Translator& names, Model& model, const toml::table& section)
{
    const toml::node* list = section.get("compartments");
    if (list == nullptr) reader.Fail(&section, "model.compartments", "missing: list the compartments by name");
    const toml::array* array = list->as_array();
    if (array == nullptr || array->empty())
        reader.Fail(list, "model.compartments", "a list of names is expected, such as [\"depot\", \"central\"]");
    if (array->size() > static_cast<std::size_t>(kMaxSpecies))
        reader.Fail(list, "model.compartments", "at most " + std::to_string(kMaxSpecies) + " compartments");
    for (std::size_t s = 0; s < array->size(); ++s) {
        const std::string key = "model.compartments[" + std::to_string(s + 1) + "]";
        model.compartments.push_back(reader.String(*array->get(s), key));
        names.Declare(array->get(s), key, model.compartments.back(), Symbol{SymbolKind::Compartment, int(s + 1)});
    }
}

void ReadParameters(Reader& reader, Translator& names, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    for (const auto& [name, node] : Reader::InOrder(*section)) {
        const std::string key = "parameters." + name;
        ParameterSpec parameter;
        parameter.name = name;
        if (const toml::table* fields = node->as_table()) {
            reader.OnlyKeys(
                *fields, key + ".",
                {"value", "estimate", "prior", "prior_sd", "formula", "omega", "scale", "variability", "iov"});
            if (auto* omega = fields->get("omega")) ReadVariability(reader, *omega, key + ".omega", parameter);
            if (auto* iov = fields->get("iov")) ReadOccasionVariability(reader, *iov, key + ".iov", parameter);
            if (auto* formula = fields->get("formula")) parameter.formula = reader.String(*formula, key + ".formula");
            if (auto* value = fields->get("value"))
                parameter.value = reader.Finite(*value, key + ".value");
            else if (parameter.formula.empty())
                reader.Fail(node, key, "needs a value (the initial estimate)");
            if (auto* estimate = fields->get("estimate"))
                parameter.estimate = EstimateFromWords(reader, *estimate, key + ".estimate");
            parameter.prior = parameter.value;
            if (auto* prior = fields->get("prior")) parameter.prior = reader.Finite(*prior, key + ".prior");
            if (auto* sd = fields->get("prior_sd")) {
                parameter.priorSd = reader.Finite(*sd, key + ".prior_sd");
                if (parameter.priorSd < 0) reader.Fail(sd, key + ".prior_sd", "a deviation cannot be negative");
            }
            if (!parameter.formula.empty()) {
                if (fields->get("estimate") != nullptr && parameter.estimate != Estimate::Fixed)
                    reader.Fail(node, key, "a parameter defined by a formula is never estimated");
                parameter.estimate = Estimate::Fixed;
            }
            ReadScale(reader, *fields, key, parameter);
        } else {
            parameter.value = reader.Finite(*node, key);
            parameter.prior = parameter.value;
        }
        if (parameter.formula.empty() && parameter.estimate != Estimate::Fixed && parameter.value <= 0 &&
            parameter.scale == population::Scale::Log)
            reader.Fail(node, key, "an estimated parameter needs a positive initial value (steps are relative to it)");
        if (model.parameters.size() == static_cast<std::size_t>(kMaxAdjustables))
            reader.Fail(node, key, "at most " + std::to_string(kMaxAdjustables) + " parameters");
        names.Declare(node, key, name, Symbol{SymbolKind::Parameter, int(model.parameters.size() + 1)});
        model.parameters.push_back(parameter);
    }
}

void ReadCovariates(Reader& reader, Translator& names, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    for (const auto& [name, node] : Reader::InOrder(*section)) {
        const std::string key = "covariates." + name;
        if (model.covariates.size() == static_cast<std::size_t>(kMaxQParameters))
            reader.Fail(node, key, "at most " + std::to_string(kMaxQParameters) + " covariates");
        names.Declare(node, key, name, Symbol{SymbolKind::Covariate, int(model.covariates.size() + 1)});
        model.covariates.push_back(CovariateSpec{name, reader.String(*node, key), nullptr});
    }
}

// Reads name = "formula" (or name = { formula = ..., cmt = ... } for outputs) members.
void ReadFormulaTable(Reader& reader, const toml::table* section, const std::string& prefix, bool withCmt,
                      std::vector<NamedFormula>& into, std::vector<const toml::node*>& where)
{
    if (section == nullptr) return;
    for (const auto& [name, node] : Reader::InOrder(*section)) {
        const std::string key = prefix + "." + name;
        NamedFormula entry;
        entry.name = name;
        if (const toml::table* fields = node->as_table()) {
            if (withCmt)
                reader.OnlyKeys(*fields, key + ".", {"formula", "cmt"});
            else
                reader.OnlyKeys(*fields, key + ".", {"formula"});
            const toml::node* formula = fields->get("formula");
            if (formula == nullptr) reader.Fail(node, key, "needs a formula");
            entry.formula = reader.String(*formula, key + ".formula");
            if (auto* cmt = fields->get("cmt")) entry.cmt = reader.Integer(*cmt, key + ".cmt", 0, 32767);
        } else {
            entry.formula = reader.String(*node, key);
        }
        into.push_back(entry);
        where.push_back(node);
    }
}

// "d(name)/dt = expression": the compartment number and the expression text.
std::pair<int, std::string> RateParts(Reader& reader, const Model& model, const toml::node* at, const std::string& key,
                                      const std::string& text)
{
    const std::size_t equals = text.find('=');
    std::string head = text.substr(0, equals == std::string::npos ? 0 : equals);
    head.erase(std::remove_if(head.begin(), head.end(), [](char c) { return std::isspace((unsigned char)c); }),
               head.end());
    if (equals == std::string::npos || head.size() < 7 || head.rfind("d(", 0) != 0 ||
        head.substr(head.size() - 4) != ")/dt")
        reader.Fail(at, key, "a rate is written \"d(compartment)/dt = expression\", not \"" + text + "\"");
    const std::string name = head.substr(2, head.size() - 6);
    const int number = model.CompartmentNumber(name);
    if (number == 0) reader.Fail(at, key, "unknown name '" + name + "': not a compartment");
    std::string expression = text.substr(equals + 1);
    expression.erase(0, expression.find_first_not_of(" \t"));
    return {number, expression};
}

void ReadRates(Reader& reader, Translator& names, Model& model, const toml::table& section)
{
    const std::size_t n = model.compartments.size();
    model.rates.assign(n, "");
    model.matrixText.assign(n, std::vector<std::string>(n));
    model.freeText.assign(n, "");
    const toml::node* list = section.get("rates");
    if (list == nullptr)
        reader.Fail(&section, "model.rates", "missing: one \"d(compartment)/dt = ...\" per compartment");
    const toml::array* array = list->as_array();
    if (array == nullptr) reader.Fail(list, "model.rates", "a list of texts is expected");
    for (std::size_t r = 0; r < array->size(); ++r) {
        const std::string key = "model.rates[" + std::to_string(r + 1) + "]";
        const toml::node* node = array->get(r);
        const std::string text = reader.String(*node, key);
        const auto [s, expression] = RateParts(reader, model, node, key, text);
        if (!model.rates[std::size_t(s - 1)].empty())
            reader.Fail(node, key, "a second rate for '" + model.compartments[std::size_t(s - 1)] + "'");
        model.rates[std::size_t(s - 1)] = text;
        const NodePtr tree = names.Parse(node, key, expression);
        const SplitRate split = SplitIntoMatrixAndFree(tree, int(n));
        for (std::size_t e = 0; e < n; ++e)
            if (split.matrix[e]) model.matrixText[std::size_t(s - 1)][e] = EngineText(*split.matrix[e]);
        if (split.free) model.freeText[std::size_t(s - 1)] = EngineText(*split.free);
    }
}

// [dosing]: per compartment, a formula of parameters and covariates for each key. They are
// evaluated per dose (bioavailability by the engine, so it may be estimated) or by the tool
// before the run (lag, rate, duration: they move event times, which the engine holds fixed).
void ReadDosing(Reader& reader, Translator& names, Model& model, const toml::table* section)
{
    model.dosing.assign(model.compartments.size(), CompartmentDosing{});
    if (section == nullptr) return;
    reader.OnlyKeys(*section, "dosing.", {"bioavailability", "lag", "rate", "duration"});
    for (auto [key, tree, text] :
         {std::tuple{"bioavailability", &CompartmentDosing::bioavailability, &CompartmentDosing::bioavailabilityText},
          {"lag", &CompartmentDosing::lag, &CompartmentDosing::lagText},
          {"rate", &CompartmentDosing::rate, &CompartmentDosing::rateText},
          {"duration", &CompartmentDosing::duration, &CompartmentDosing::durationText}}) {
        const toml::node* member = section->get(key);
        if (member == nullptr) continue;
        const std::string prefix = std::string("dosing.") + key;
        const toml::table* table = member->as_table();
        if (table == nullptr)
            reader.Fail(member, prefix, "a table by compartment is expected, such as { depot = \"F1\" }");
        for (const auto& [name, node] : Reader::InOrder(*table)) {
            const int s = model.CompartmentNumber(name);
            if (s == 0) reader.Fail(node, prefix + "." + name, "unknown name '" + name + "': not a compartment");
            CompartmentDosing& dosing = model.dosing[std::size_t(s - 1)];
            dosing.*text = node->as_string() ? reader.String(*node, prefix + "." + name)
                                             : NumberText(reader.Finite(*node, prefix + "." + name));
            dosing.*tree = names.Parse(node, prefix + "." + name, dosing.*text,
                                       {SymbolKind::Compartment, SymbolKind::Time, SymbolKind::PParameter});
        }
    }
}

void ReadFit(Reader& reader, Model& model, const toml::table* section)
{
    if (section == nullptr) return;
    reader.OnlyKeys(*section, "fit.",
                    {"method", "precision", "error_exponent", "tolerance", "damping", "population_iterations",
                     "individual_iterations", "prior_population", "estimation", "allow_non_finite"});
    FitSettings& fit = model.fit;
    if (auto* node = section->get("method")) {
        fit.method = reader.String(*node, "fit.method");
        if (fit.method != "CHU-BERMAN" && fit.method != "RUNGE-KUTTA QC" && fit.method != "RUNGE-KUTTA 4" &&
            fit.method != "RUNGE-KUTTA 5")
            reader.Fail(
                node, "fit.method",
                "'" + fit.method + "' is not a method (CHU-BERMAN, RUNGE-KUTTA QC, RUNGE-KUTTA 4, RUNGE-KUTTA 5)");
    }
    if (auto* node = section->get("precision")) {
        fit.precision = reader.Single(*node, "fit.precision");
        if (!(fit.precision > 0)) reader.Fail(node, "fit.precision", "must be positive");
        if (!(fit.precision < 1))
            reader.Fail(node, "fit.precision", "must be below 1: a relative tolerance (1e-6 to 1e-10 is usual)");
    }
    if (auto* node = section->get("error_exponent")) {
        fit.errorExponent = reader.Single(*node, "fit.error_exponent");
        // Weights y^−γ: γ of 0 to 2 are the usual error models; beyond ±10 a weight of an
        // observation of 1e-4 or 1e4 leaves the range of the engine's 32-bit statistics.
        if (!(std::fabs(fit.errorExponent) <= 10))
            reader.Fail(node, "fit.error_exponent", "must be between -10 and 10 (0 to 2 is usual)");
    }
    if (auto* node = section->get("tolerance")) {
        fit.tolerance = reader.Single(*node, "fit.tolerance");
        if (!(fit.tolerance > 0)) reader.Fail(node, "fit.tolerance", "must be positive");
    }
    if (auto* node = section->get("damping")) {
        fit.damping = reader.Single(*node, "fit.damping");
        if (fit.damping < 0) reader.Fail(node, "fit.damping", "cannot be negative");
    }
    if (auto* node = section->get("allow_non_finite")) {
        const auto flag = node->as_boolean();
        if (!flag) reader.Fail(node, "fit.allow_non_finite", "true or false is expected");
        fit.allowNonFinite = flag->get();
    }
    if (auto* node = section->get("population_iterations"))
        fit.populationIterations = reader.Integer(*node, "fit.population_iterations", 0, 100000);
    if (auto* node = section->get("individual_iterations"))
        fit.individualIterations = reader.Integer(*node, "fit.individual_iterations", 0, 100000);
    if (auto* node = section->get("prior_population"))
        fit.priorPopulation = reader.Integer(*node, "fit.prior_population", 0, 32767);
}

// The engine inlines the formula of a defined parameter wherever it is read, so definitions
// that reach themselves through one another cannot be compiled: name the cycle.
void RejectCircularDefinitions(Reader& reader, const Model& model, const std::vector<NodePtr>& definitions)
{
    const std::size_t n = definitions.size();
    std::vector<int> state(n, 0);  // 0 unvisited, 1 on the current path, 2 done
    std::vector<std::string> path;
    std::function<void(std::size_t)> visit = [&](std::size_t a) {
        if (state[a] == 2 || !definitions[a]) return;
        path.push_back(model.parameters[a].name);
        if (state[a] == 1) {
            std::string cycle;
            for (const std::string& name : path) cycle += (cycle.empty() ? "" : " -> ") + name;
            reader.Fail(nullptr, "parameters." + model.parameters[a].name + ".formula",
                        "the definitions read one another in a circle: " + cycle);
        }
        state[a] = 1;
        std::function<void(const Node&)> reads = [&](const Node& node) {
            if (node.kind == NodeKind::Name && node.symbol.kind == SymbolKind::Parameter)
                visit(std::size_t(node.symbol.index - 1));
            if (node.left) reads(*node.left);
            if (node.right) reads(*node.right);
        };
        reads(*definitions[a]);
        state[a] = 2;
        path.pop_back();
    };
    for (std::size_t a = 0; a < n; ++a) visit(a);
}

}  // namespace

Model ParseModel(std::string_view text, const std::string& sourceName, const std::vector<long>& occasions)
{
    Reader reader(sourceName);
    toml::table root;
    try {
        root = toml::parse(text, sourceName);
    } catch (const toml::parse_error& error) {
        std::ostringstream message;
        message << sourceName << ":" << error.source().begin.line << ":" << error.source().begin.column << ": "
                << error.description();
        throw ModelError(message.str());
    }
    reader.OnlyKeys(root, "",
                    {"model", "parameters", "covariates", "p_parameters", "outputs", "dosing", "data", "fit", "error",
                     "omega", "units"});
    const toml::table* modelSection = root["model"].as_table();
    if (modelSection == nullptr)
        reader.Fail(nullptr, "model", "missing: the [model] table with compartments and rates");
    reader.OnlyKeys(*modelSection, "model.", {"compartments", "rates"});

    Model model;
    model.source = sourceName;
    model.text = std::string(text);
    Translator names(reader, model);
    ReadCompartments(reader, names, model, *modelSection);
    ReadParameters(reader, names, model, root["parameters"].as_table());
    ReadCovariates(reader, names, model, root["covariates"].as_table());
    ReadDataOptions(reader, model, root["data"].as_table());
    AddOccasions(reader, model, occasions, kMaxAdjustables, kMaxQParameters);

    std::vector<const toml::node*> pWhere;
    ReadFormulaTable(reader, root["p_parameters"].as_table(), "p_parameters", false, model.pParameters, pWhere);
    if (model.pParameters.size() > static_cast<std::size_t>(kMaxPParameters))
        reader.Fail(pWhere.back(), "p_parameters", "at most " + std::to_string(kMaxPParameters) + " P parameters");
    for (std::size_t p = 0; p < model.pParameters.size(); ++p)
        names.Declare(pWhere[p], "p_parameters." + model.pParameters[p].name, model.pParameters[p].name,
                      Symbol{SymbolKind::PParameter, int(p + 1)});

    // Formulas are translated once every name is known.
    std::vector<NodePtr> definitions(model.parameters.size());
    for (std::size_t a = 0; a < model.parameters.size(); ++a) {
        ParameterSpec& parameter = model.parameters[a];
        if (parameter.formula.empty()) continue;
        const std::string key = "parameters." + parameter.name + ".formula";
        const toml::node* at = root["parameters"][parameter.name]["formula"].node();
        const NodePtr tree = names.Parse(at, key, parameter.formula,
                                         {SymbolKind::Compartment, SymbolKind::Time, SymbolKind::PParameter});
        parameter.engineFormula = EngineText(*tree);
        parameter.definition = tree;
        definitions[a] = tree;
    }
    RejectCircularDefinitions(reader, model, definitions);
    for (std::size_t p = 0; p < model.pParameters.size(); ++p) {
        NamedFormula& entry = model.pParameters[p];
        const std::string key = "p_parameters." + entry.name;
        entry.engineFormula = EngineText(*names.Parse(pWhere[p], key, entry.formula, {SymbolKind::PParameter}));
    }

    std::vector<const toml::node*> outWhere;
    ReadFormulaTable(reader, root["outputs"].as_table(), "outputs", true, model.outputs, outWhere);
    if (model.outputs.empty())
        reader.Fail(nullptr, "outputs", "missing: at least one output, such as conc = \"central/V\"");
    if (model.outputs.size() > static_cast<std::size_t>(kMaxOutputs))
        reader.Fail(outWhere.back(), "outputs", "at most " + std::to_string(kMaxOutputs) + " outputs");
    for (std::size_t k = 0; k < model.outputs.size(); ++k) {
        NamedFormula& entry = model.outputs[k];
        const std::string key = "outputs." + entry.name;
        names.Declare(outWhere[k], key, entry.name, std::nullopt);
        entry.engineFormula = EngineText(*names.Parse(outWhere[k], key, entry.formula));
        if (model.outputs.size() > 1 && !entry.cmt)
            reader.Fail(outWhere[k], key, "with several outputs each needs the cmt of its observation rows");
    }
    ReadRates(reader, names, model, *modelSection);
    ReadDosing(reader, names, model, root["dosing"].as_table());
    ReadFit(reader, model, root["fit"].as_table());
    ReadError(reader, model, root["error"].as_table());
    ReadEstimation(reader, model, root["fit"].as_table(), root["error"].as_table());
    ReadOmegaBlocks(reader, model, root["omega"].as_table());
    ReadUnits(reader, model, root["units"].as_table());
    WarnOfUnusedParts(reader, model, root, names.Parsed(), definitions);
    return model;
}

Model LoadModel(const std::filesystem::path& path)
{
    std::string text;
    try {
        text = ReadInputFile(path);
    } catch (const InputFileError& error) {
        throw ModelError(error.what());
    }
    return ParseModel(text, path.string());
}

}  // namespace tessuvan::cli
