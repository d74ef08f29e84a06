// The value of a formula that the tool evaluates before the run.
#include <cmath>

#include "data/events.h"

namespace tessuvan::cli {

namespace {

// The value of a formula of parameters and covariates, or nullopt when it reads an estimated
// parameter (named in `estimated`).
std::optional<double> Evaluate(const Model& model, const Node& node, const std::vector<double>& covariates,
                               std::string& estimated)
{
    auto operand = [&](const NodePtr& child) { return Evaluate(model, *child, covariates, estimated); };
    switch (node.kind) {
        case NodeKind::Number:
            return node.value;
        case NodeKind::Name: {
            const std::size_t index = std::size_t(node.symbol.index - 1);
            if (node.symbol.kind == SymbolKind::Covariate) return covariates[index];
            if (node.symbol.kind != SymbolKind::Parameter) return std::nullopt;
            const ParameterSpec& parameter = model.parameters[index];
            if (parameter.definition) return Evaluate(model, *parameter.definition, covariates, estimated);
            if (parameter.estimate != Estimate::Fixed) {
                estimated = parameter.name;
                return std::nullopt;
            }
            return parameter.value;
        }
        default:
            break;
    }
    const std::optional<double> left = operand(node.left);
    if (!left) return std::nullopt;
    if (node.kind == NodeKind::Negate) return -*left;
    if (node.kind == NodeKind::Exp) return std::exp(*left);
    if (node.kind == NodeKind::Log) return std::log(*left);
    const std::optional<double> right = operand(node.right);
    if (!right) return std::nullopt;
    switch (node.kind) {
        case NodeKind::Add:
            return *left + *right;
        case NodeKind::Subtract:
            return *left - *right;
        case NodeKind::Multiply:
            return *left * *right;
        case NodeKind::Divide:
            return *left / *right;
        case NodeKind::Power:
            return std::pow(*left, *right);
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<double> ValueBeforeRun(const Model& model, const Node& formula, const std::vector<double>& covariates,
                                     std::string& estimated)
{
    return Evaluate(model, formula, covariates, estimated);
}

}  // namespace tessuvan::cli
