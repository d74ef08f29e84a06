#include "model/occasions.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "model/number_text.h"

namespace tessuvan::cli {

std::string OccasionParameterName(const std::string& parameter, long occasion)
{
    return parameter + "_occ" + std::to_string(occasion);
}

namespace {

NodePtr NameNode(const std::string& name, Symbol symbol)
{
    auto node = std::make_shared<Node>();
    node->kind = NodeKind::Name;
    node->text = name;
    node->symbol = symbol;
    return node;
}

NodePtr Equals(NodePtr left, NodePtr right)
{
    auto node = std::make_shared<Node>();
    node->kind = NodeKind::Compare;
    node->text = "==";
    node->left = std::move(left);
    node->right = std::move(right);
    return node;
}

NodePtr One() { return MakeNumber("1", 1); }

// h(k(φ) + Σ_o κ_o·[OCC = o]) of parameter a (0-based), φ the node that reads it.
NodePtr Moved(const NodePtr& parameter, std::size_t a, const Model& model)
{
    const ParameterSpec& spec = model.parameters[a];
    std::size_t column = 0;
    while (column < model.covariates.size() &&
           !(model.covariates[column].occasion && !model.covariates[column].derived))
        ++column;
    const NodePtr occasion = NameNode(model.covariates[column].name, Symbol{SymbolKind::Covariate, int(column + 1)});
    NodePtr sum;
    for (std::size_t k = 0; k < model.parameters.size(); ++k) {
        const ParameterSpec& kappa = model.parameters[k];
        if (kappa.occasionOf != spec.name) continue;
        const NodePtr term =
            MakeBinary(NodeKind::Multiply, NameNode(kappa.name, Symbol{SymbolKind::Parameter, int(k + 1)}),
                       Equals(occasion, MakeNumber(std::to_string(kappa.occasion), double(kappa.occasion))));
        sum = sum ? MakeBinary(NodeKind::Add, sum, term) : term;
    }
    if (!sum) return parameter;
    switch (spec.scale) {
        case population::Scale::Log:
            return MakeBinary(NodeKind::Multiply, parameter, MakeUnary(NodeKind::Exp, sum));
        case population::Scale::Linear:
            return MakeBinary(NodeKind::Add, parameter, sum);
        case population::Scale::Logit: {
            const NodePtr logit =
                MakeUnary(NodeKind::Log,
                          MakeBinary(NodeKind::Divide, parameter, MakeBinary(NodeKind::Subtract, One(), parameter)));
            const NodePtr moved = MakeBinary(NodeKind::Add, logit, sum);
            return MakeBinary(
                NodeKind::Divide, One(),
                MakeBinary(NodeKind::Add, One(), MakeUnary(NodeKind::Exp, MakeUnary(NodeKind::Negate, moved))));
        }
    }
    return parameter;
}

NodePtr Rewritten(const NodePtr& tree, const Model& model)
{
    if (!tree) return tree;
    if (tree->kind == NodeKind::Name) {
        if (tree->symbol.kind != SymbolKind::Parameter) return tree;
        const std::size_t a = std::size_t(tree->symbol.index - 1);
        return a < model.parameters.size() && model.parameters[a].iov > 0 ? Moved(tree, a, model) : tree;
    }
    const NodePtr left = Rewritten(tree->left, model), right = Rewritten(tree->right, model),
                  third = Rewritten(tree->third, model);
    if (left == tree->left && right == tree->right && third == tree->third) return tree;
    auto node = std::make_shared<Node>(*tree);
    node->left = left;
    node->right = right;
    node->third = third;
    return node;
}

// Reads `covariate` (1-based) anywhere in the tree.
bool ReadsCovariate(const Node& node, int covariate)
{
    if (node.kind == NodeKind::Name) return node.symbol.kind == SymbolKind::Covariate && node.symbol.index == covariate;
    return (node.left && ReadsCovariate(*node.left, covariate)) ||
           (node.right && ReadsCovariate(*node.right, covariate)) ||
           (node.third && ReadsCovariate(*node.third, covariate));
}

}  // namespace

NodePtr WithOccasions(const NodePtr& tree, const Model& model)
{
    return model.occasions.empty() ? tree : Rewritten(tree, model);
}

void ExpandOccasions(Model& model, const DataSet& data)
{
    if (std::none_of(model.parameters.begin(), model.parameters.end(),
                     [](const ParameterSpec& parameter) { return parameter.iov > 0; }))
        return;
    std::size_t column = 0;
    while (column < model.covariates.size() && !model.covariates[column].occasion) ++column;
    if (column >= data.covariateColumns.size()) return;  // read without the model's columns
    std::set<long> met;
    for (const DataRow& row : data.rows) {
        const std::optional<double>& value = row.covariates[column];
        const std::string where = data.source + ":" + std::to_string(row.line) + ": " + model.occasionColumn;
        if (!value) throw DataError(where + ": no occasion on this row (every row of a model with iov needs one)");
        if (!(*value >= 0 && *value <= 1e6 && std::floor(*value) == *value))
            throw DataError(where + ": the occasion " + NumberText(*value) +
                            " is not a whole number from 0 to 1000000");
        met.insert(long(*value));
    }
    const Model before = model;
    model = ParseModel(before.text, before.source, std::vector<long>(met.begin(), met.end()));
    // What the caller set after reading the file (a simulation fixes every parameter).
    model.fit = before.fit;
    for (std::size_t p = 0; p < before.parameters.size(); ++p) {
        model.parameters[p].estimate = before.parameters[p].estimate;
        model.parameters[p].value = before.parameters[p].value;
    }
    const int occasion = int(column + 1);
    for (CovariateSpec& covariate : model.covariates)
        if (covariate.derived && ReadsCovariate(*covariate.derived, occasion)) covariate.occasion = true;
}

}  // namespace tessuvan::cli
