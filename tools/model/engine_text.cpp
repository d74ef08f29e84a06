#include "model/engine_text.h"

namespace tessuvan::cli {

namespace {

// Binding strength of a node's top operator: sums 1, products 2, negation 3, power 4,
// and operands that never need parentheses (numbers, names, function calls) 5.
int Strength(const Node& node)
{
    switch (node.kind) {
        case NodeKind::Add:
        case NodeKind::Subtract:
            return 1;
        case NodeKind::Multiply:
        case NodeKind::Divide:
            return 2;
        case NodeKind::Negate:
            return 3;
        case NodeKind::Power:
            return 4;
        default:
            return 5;
    }
}

std::string Wrap(const std::string& text) { return "(" + text + ")"; }

bool StartsWithNumber(const std::string& text)
{
    return !text.empty() && ((text[0] >= '0' && text[0] <= '9') || text[0] == '.');
}

// Operand of a binary operator; `tightest` is the weakest strength that needs no parentheses.
std::string Operand(const Node& node, int tightest)
{
    const std::string text = EngineText(node);
    if (node.kind == NodeKind::Negate || Strength(node) < tightest) return Wrap(text);
    return text;
}

// What follows a minus sign (subtraction or negation).
std::string AfterMinus(const Node& node, int tightest)
{
    const std::string text = EngineText(node);
    if (node.kind == NodeKind::Negate || Strength(node) < tightest) return Wrap(text);
    if (node.kind != NodeKind::Number && StartsWithNumber(text)) return Wrap(text);
    return text;
}

// Base or exponent of a power: only a number or a name stands bare.
std::string PowerOperand(const Node& node)
{
    const std::string text = EngineText(node);
    if (node.kind == NodeKind::Number || node.kind == NodeKind::Name) return text;
    return Wrap(text);
}

}  // namespace

std::string EngineName(const Symbol& symbol)
{
    switch (symbol.kind) {
        case SymbolKind::Compartment:
            return "F" + std::to_string(symbol.index);
        case SymbolKind::Parameter:
            return "A" + std::to_string(symbol.index);
        case SymbolKind::PParameter:
            return "P" + std::to_string(symbol.index);
        case SymbolKind::Covariate:
            return "Q" + std::to_string(symbol.index);
        case SymbolKind::Time:
            return "T";
    }
    return "T";
}

std::string EngineText(const Node& node)
{
    switch (node.kind) {
        case NodeKind::Number:
            return node.text;
        case NodeKind::Name:
            return EngineName(node.symbol);
        case NodeKind::Exp:
            return "EX(" + EngineText(*node.left) + ")";
        case NodeKind::Log:
            return "LN(" + EngineText(*node.left) + ")";
        case NodeKind::Negate:
            return "-" + AfterMinus(*node.left, 2);
        case NodeKind::Add:
            return Operand(*node.left, 1) + "+" + Operand(*node.right, 2);
        case NodeKind::Subtract:
            return Operand(*node.left, 1) + "-" + AfterMinus(*node.right, 2);
        case NodeKind::Multiply:
            return Operand(*node.left, 2) + "*" + Operand(*node.right, 3);
        case NodeKind::Divide:
            return Operand(*node.left, 2) + "/" + Operand(*node.right, 3);
        case NodeKind::Power:
            return PowerOperand(*node.left) + "^" + PowerOperand(*node.right);
        case NodeKind::Compare:
        case NodeKind::And:
        case NodeKind::Or:
        case NodeKind::Not:
        case NodeKind::If:
            break;  // evaluated by the tool before the engine sees the formula (model/conditions.h)
    }
    return "0";
}

}  // namespace tessuvan::cli
