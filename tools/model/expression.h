// Formulas as the user writes them in a model file: names of compartments, parameters,
// covariates and P parameters, numbers, + - * / ^, parentheses and the functions exp, log
// (also ln) and sqrt. The parser resolves every name through a caller-given lookup and builds a
// small tree that the rate splitter and the engine-text writer read.
//
// Grammar (usual mathematical conventions, unlike the engine's own text):
//   formula := either
//   either  := both ("or" both)*               (conditions: 1 true, 0 false; model/conditions.h
//   both    := negation ("and" negation)*       says where they may stand)
//   negation:= "not" negation | compare
//   compare := sum (("==" | "!=" | "<" | "<=" | ">" | ">=") sum)?
//   sum     := product (("+" | "-") product)*
//   product := unary (("*" | "/") unary)*
//   unary   := ("-" | "+") unary | power
//   power   := primary ("^" unary)?          right-grouping: 2^3^2 is 2^(3^2) = 512
//   primary := number | name | function "(" formula ")" | "if(" formula "," formula "," formula ")"
//            | "(" formula ")"
// so -2^2 is -(2^2) = -4 and a^-b is a^(-b); and, or, not and if are reserved.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessuvan::cli {

// What a name stands for, in the engine's vocabulary: F (species amount), A (adjustable
// parameter), P (P parameter, set at each interrupt), Q (per-individual value) or T (time).
enum class SymbolKind { Compartment, Parameter, PParameter, Covariate, Time };

struct Symbol {
    SymbolKind kind = SymbolKind::Time;
    int index = 0;  // 1-based engine index; 0 for time
};

enum class NodeKind {
    Number,
    Name,
    Negate,
    Add,
    Subtract,
    Multiply,
    Divide,
    Power,
    Exp,
    Log,
    Compare,  // text: "==", "!=", "<", "<=", ">" or ">="
    And,
    Or,
    Not,
    If,  // left the condition, right the value where it holds, third where not
};

struct Node;
using NodePtr = std::shared_ptr<const Node>;

struct Node {
    NodeKind kind = NodeKind::Number;
    std::string text;  // Number: the literal as written; Name: the name
    double value = 0;  // Number: its value
    Symbol symbol;     // Name: what it resolves to
    NodePtr left;      // operand of a unary node, left operand of a binary one
    NodePtr right;     // right operand of a binary node
    NodePtr third;     // If: the value where the condition does not hold
};

NodePtr MakeNumber(std::string text, double value);
NodePtr MakeUnary(NodeKind kind, NodePtr operand);
NodePtr MakeBinary(NodeKind kind, NodePtr left, NodePtr right);

// A formula that cannot be read: `column` is the 1-based position in the formula text.
class FormulaError : public std::runtime_error {
public:
    FormulaError(const std::string& message, std::size_t column) : std::runtime_error(message), column_(column) {}
    std::size_t column() const { return column_; }

private:
    std::size_t column_;
};

// Resolves a name to a symbol, or says it is unknown (std::nullopt).
using NameLookup = std::function<std::optional<Symbol>(std::string_view name)>;

// Parses a whole formula. Throws FormulaError for a syntax error or an unknown name.
NodePtr ParseFormula(std::string_view text, const NameLookup& lookup);

// True when the tree reads any compartment amount.
bool ReadsCompartment(const Node& node);
// True when the tree reads a symbol of the given kind.
bool ReadsKind(const Node& node, SymbolKind kind);

}  // namespace tessuvan::cli
