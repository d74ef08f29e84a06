#include "model/conditions.h"

#include <cmath>

namespace tessuvan::cli {

namespace {

bool IsCondition(NodeKind kind)
{
    return kind == NodeKind::Compare || kind == NodeKind::And || kind == NodeKind::Or || kind == NodeKind::Not ||
           kind == NodeKind::If;
}

// Reads nothing but covariates and numbers.
bool ReadsOnlyData(const Node& node)
{
    if (node.kind == NodeKind::Name) return node.symbol.kind == SymbolKind::Covariate;
    for (const NodePtr* child : {&node.left, &node.right, &node.third})
        if (*child && !ReadsOnlyData(**child)) return false;
    return true;
}

// What a condition reads that the data do not give, in words.
std::string ForbiddenIn(const Node& node)
{
    if (node.kind == NodeKind::Name && node.symbol.kind != SymbolKind::Covariate) {
        static const char* const words[] = {"the amount", "the parameter", "the P parameter", "", ""};
        if (node.symbol.kind == SymbolKind::Time) return "the time '" + node.text + "'";
        return std::string(words[static_cast<int>(node.symbol.kind)]) + " '" + node.text + "'";
    }
    for (const NodePtr* child : {&node.left, &node.right, &node.third})
        if (*child) {
            std::string found = ForbiddenIn(**child);
            if (!found.empty()) return found;
        }
    return "";
}

NodePtr Derived(const NodePtr& tree, DerivedCovariates& derived)
{
    const std::string name = FormulaText(*tree);
    std::size_t k = 0;
    while (k < derived.names.size() && derived.names[k] != name) ++k;
    if (k == derived.names.size()) {
        derived.trees.push_back(tree);
        derived.names.push_back(name);
    }
    auto node = std::make_shared<Node>();
    node->kind = NodeKind::Name;
    node->text = name;
    node->symbol = Symbol{SymbolKind::Covariate, derived.first + int(k)};
    return node;
}

}  // namespace

bool HasCondition(const Node& node)
{
    if (IsCondition(node.kind)) return true;
    for (const NodePtr* child : {&node.left, &node.right, &node.third})
        if (*child && HasCondition(**child)) return true;
    return false;
}

NodePtr LowerConditions(const NodePtr& tree, DerivedCovariates& derived)
{
    if (!HasCondition(*tree)) return tree;
    if (ReadsOnlyData(*tree)) return Derived(tree, derived);
    if (tree->kind == NodeKind::If) {
        if (!ReadsOnlyData(*tree->left))
            throw ConditionError("the condition of an if may read only covariates and numbers, not " +
                                 ForbiddenIn(*tree->left) +
                                 " (the tool evaluates it from the data; the engine's formulas have no comparison)");
        const NodePtr c = Derived(tree->left, derived);
        const NodePtr a = LowerConditions(tree->right, derived), b = LowerConditions(tree->third, derived);
        return MakeBinary(NodeKind::Add, MakeBinary(NodeKind::Multiply, c, a),
                          MakeBinary(NodeKind::Multiply, MakeBinary(NodeKind::Subtract, MakeNumber("1", 1), c), b));
    }
    if (IsCondition(tree->kind))
        throw ConditionError("a comparison, and, or and not may read only covariates and numbers, not " +
                             ForbiddenIn(*tree) +
                             " (the tool evaluates them from the data; the engine's formulas have no comparison)");
    auto node = std::make_shared<Node>(*tree);
    if (tree->left) node->left = LowerConditions(tree->left, derived);
    if (tree->right) node->right = LowerConditions(tree->right, derived);
    return node;
}

NodePtr LowerIntoModel(const NodePtr& tree, Model& model, int capacity)
{
    if (!HasCondition(*tree)) return tree;
    DerivedCovariates derived;
    std::size_t read = 0;
    while (read < model.covariates.size() && !model.covariates[read].derived) ++read;
    derived.first = int(read + 1);
    for (std::size_t q = read; q < model.covariates.size(); ++q) {
        derived.trees.push_back(model.covariates[q].derived);
        derived.names.push_back(model.covariates[q].name);
    }
    const NodePtr lowered = LowerConditions(tree, derived);
    if (read + derived.trees.size() > static_cast<std::size_t>(capacity))
        throw ConditionError("at most " + std::to_string(capacity) +
                             " covariates, those the tool computes for conditions included");
    for (std::size_t k = model.covariates.size() - read; k < derived.trees.size(); ++k)
        model.covariates.push_back(CovariateSpec{derived.names[k], "", derived.trees[k]});
    return lowered;
}

std::string FormulaText(const Node& node)
{
    const auto wrap = [](const Node& n) { return "(" + FormulaText(n) + ")"; };
    switch (node.kind) {
        case NodeKind::Number:
        case NodeKind::Name:
            return node.text;
        case NodeKind::Negate:
            return "-" + wrap(*node.left);
        case NodeKind::Add:
            return wrap(*node.left) + "+" + wrap(*node.right);
        case NodeKind::Subtract:
            return wrap(*node.left) + "-" + wrap(*node.right);
        case NodeKind::Multiply:
            return wrap(*node.left) + "*" + wrap(*node.right);
        case NodeKind::Divide:
            return wrap(*node.left) + "/" + wrap(*node.right);
        case NodeKind::Power:
            return wrap(*node.left) + "^" + wrap(*node.right);
        case NodeKind::Exp:
            return "exp" + wrap(*node.left);
        case NodeKind::Log:
            return "log" + wrap(*node.left);
        case NodeKind::Compare:
            return wrap(*node.left) + node.text + wrap(*node.right);
        case NodeKind::And:
            return wrap(*node.left) + " and " + wrap(*node.right);
        case NodeKind::Or:
            return wrap(*node.left) + " or " + wrap(*node.right);
        case NodeKind::Not:
            return "not " + wrap(*node.left);
        case NodeKind::If:
            return "if(" + FormulaText(*node.left) + " then " + FormulaText(*node.right) + " else " +
                   FormulaText(*node.third) + ")";
    }
    return "";
}

std::optional<double> EvaluateData(const Node& node, const std::vector<std::optional<double>>& covariates)
{
    if (node.kind == NodeKind::Number) return node.value;
    if (node.kind == NodeKind::Name) {
        const std::size_t q = std::size_t(node.symbol.index - 1);
        if (node.symbol.kind != SymbolKind::Covariate || q >= covariates.size()) return std::nullopt;
        return covariates[q];
    }
    const std::optional<double> a = EvaluateData(*node.left, covariates);
    if (!a) return std::nullopt;
    switch (node.kind) {
        case NodeKind::Negate:
            return -*a;
        case NodeKind::Exp:
            return std::exp(*a);
        case NodeKind::Log:
            return std::log(*a);
        case NodeKind::Not:
            return *a != 0 ? 0.0 : 1.0;
        case NodeKind::If: {
            const std::optional<double> branch = EvaluateData(*a != 0 ? *node.right : *node.third, covariates);
            return branch;
        }
        default:
            break;
    }
    const std::optional<double> b = EvaluateData(*node.right, covariates);
    if (!b) return std::nullopt;
    switch (node.kind) {
        case NodeKind::Add:
            return *a + *b;
        case NodeKind::Subtract:
            return *a - *b;
        case NodeKind::Multiply:
            return *a * *b;
        case NodeKind::Divide:
            return *a / *b;
        case NodeKind::Power:
            return std::pow(*a, *b);
        case NodeKind::And:
            return (*a != 0 && *b != 0) ? 1.0 : 0.0;
        case NodeKind::Or:
            return (*a != 0 || *b != 0) ? 1.0 : 0.0;
        case NodeKind::Compare: {
            const std::string& op = node.text;
            const bool holds = op == "=="   ? *a == *b
                               : op == "!=" ? *a != *b
                               : op == "<"  ? *a < *b
                               : op == "<=" ? *a <= *b
                               : op == ">"  ? *a > *b
                                            : *a >= *b;
            return holds ? 1.0 : 0.0;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace tessuvan::cli
