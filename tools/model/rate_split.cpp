#include "model/rate_split.h"

namespace tessuvan::cli {

namespace {

// One additive term: ± (product of numerator factors) / (product of denominator factors).
struct Term {
    bool negative = false;
    std::vector<NodePtr> numerator;
    std::vector<NodePtr> denominator;
};

std::vector<Term> Flipped(std::vector<Term> terms)
{
    for (Term& term : terms) term.negative = !term.negative;
    return terms;
}

std::vector<Term> Expand(const NodePtr& node)
{
    if (!ReadsCompartment(*node)) return {Term{false, {node}, {}}};
    switch (node->kind) {
        case NodeKind::Add:
        case NodeKind::Subtract: {
            std::vector<Term> terms = Expand(node->left);
            std::vector<Term> right = Expand(node->right);
            if (node->kind == NodeKind::Subtract) right = Flipped(std::move(right));
            terms.insert(terms.end(), right.begin(), right.end());
            return terms;
        }
        case NodeKind::Negate:
            return Flipped(Expand(node->left));
        case NodeKind::Multiply: {
            const bool leftReads = ReadsCompartment(*node->left);
            const bool rightReads = ReadsCompartment(*node->right);
            if (leftReads && rightReads) break;  // a product of two amounts: nonlinear
            if (!leftReads) {
                std::vector<Term> terms = Expand(node->right);
                for (Term& term : terms) term.numerator.insert(term.numerator.begin(), node->left);
                return terms;
            }
            std::vector<Term> terms = Expand(node->left);
            for (Term& term : terms) term.numerator.push_back(node->right);
            return terms;
        }
        case NodeKind::Divide: {
            if (ReadsCompartment(*node->right)) break;
            std::vector<Term> terms = Expand(node->left);
            for (Term& term : terms) term.denominator.push_back(node->right);
            return terms;
        }
        default:
            break;
    }
    return {Term{false, {node}, {}}};
}

// The compartment a term is linear in (0 when it is not linear in exactly one).
int LinearCompartment(const Term& term, std::size_t& position)
{
    int compartment = 0;
    for (std::size_t i = 0; i < term.numerator.size(); ++i) {
        const Node& factor = *term.numerator[i];
        if (!ReadsCompartment(factor)) continue;
        if (compartment != 0 || factor.kind != NodeKind::Name) return 0;
        compartment = factor.symbol.index;
        position = i;
    }
    for (const NodePtr& factor : term.denominator)
        if (ReadsCompartment(*factor)) return 0;
    return compartment;
}

// The magnitude of a term as a tree: n1*n2*.../d1/d2..., with 1 for an empty numerator.
NodePtr Magnitude(const Term& term)
{
    NodePtr result;
    for (const NodePtr& factor : term.numerator)
        result = result ? MakeBinary(NodeKind::Multiply, result, factor) : factor;
    if (!result) result = MakeNumber("1", 1.0);
    for (const NodePtr& factor : term.denominator) result = MakeBinary(NodeKind::Divide, result, factor);
    return result;
}

// Appends ± magnitude to a running sum.
NodePtr Accumulate(const NodePtr& sum, bool negative, const NodePtr& magnitude)
{
    if (!sum) return negative ? MakeUnary(NodeKind::Negate, magnitude) : magnitude;
    return MakeBinary(negative ? NodeKind::Subtract : NodeKind::Add, sum, magnitude);
}

bool IsZero(const Node& node) { return node.kind == NodeKind::Number && node.value == 0.0; }

}  // namespace

SplitRate SplitIntoMatrixAndFree(const NodePtr& rate, int compartmentCount)
{
    SplitRate split;
    split.matrix.assign(static_cast<std::size_t>(compartmentCount), nullptr);
    for (Term& term : Expand(rate)) {
        std::size_t position = 0;
        const int compartment = LinearCompartment(term, position);
        if (compartment >= 1 && compartment <= compartmentCount) {
            term.numerator.erase(term.numerator.begin() + static_cast<std::ptrdiff_t>(position));
            NodePtr& entry = split.matrix[static_cast<std::size_t>(compartment - 1)];
            entry = Accumulate(entry, term.negative, Magnitude(term));
        } else {
            if (term.numerator.size() == 1 && term.denominator.empty() && IsZero(*term.numerator[0])) continue;
            split.free = Accumulate(split.free, term.negative, Magnitude(term));
        }
    }
    return split;
}

}  // namespace tessuvan::cli
