#include "model/occasions.h"

#include <algorithm>

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
    const ParameterSpec& varying = model.parameters[a];
    std::size_t column = 0;
    while (column < model.covariates.size() &&
           !(model.covariates[column].occasion && !model.covariates[column].derived))
        ++column;
    const NodePtr occasion = NameNode(model.covariates[column].name, Symbol{SymbolKind::Covariate, int(column + 1)});
    NodePtr sum;
    for (std::size_t k = 0; k < model.parameters.size(); ++k) {
        const ParameterSpec& kappa = model.parameters[k];
        if (kappa.occasionOf != varying.name) continue;
        const NodePtr term =
            MakeBinary(NodeKind::Multiply, NameNode(kappa.name, Symbol{SymbolKind::Parameter, int(k + 1)}),
                       Equals(occasion, MakeNumber(std::to_string(kappa.occasion), double(kappa.occasion))));
        sum = sum ? MakeBinary(NodeKind::Add, sum, term) : term;
    }
    if (!sum) return parameter;
    switch (varying.scale) {
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

}  // namespace

NodePtr WithOccasions(const NodePtr& tree, const Model& model)
{
    return model.occasions.empty() ? tree : Rewritten(tree, model);
}

}  // namespace tessuvan::cli
