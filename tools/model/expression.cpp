#include "model/expression.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace tessuvan::cli {

NodePtr MakeNumber(std::string text, double value)
{
    auto node = std::make_shared<Node>();
    node->kind = NodeKind::Number;
    node->text = std::move(text);
    node->value = value;
    return node;
}

NodePtr MakeUnary(NodeKind kind, NodePtr operand)
{
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->left = std::move(operand);
    return node;
}

NodePtr MakeBinary(NodeKind kind, NodePtr left, NodePtr right)
{
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->left = std::move(left);
    node->right = std::move(right);
    return node;
}

namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Recursive descent over the text; positions are 0-based inside, reported 1-based.
class Parser {
public:
    Parser(std::string_view text, const NameLookup& lookup) : text_(text), lookup_(lookup) {}

    NodePtr Formula()
    {
        SkipBlanks();
        if (AtEnd()) throw FormulaError("the formula is empty", 1);
        NodePtr result = Either();
        SkipBlanks();
        if (!AtEnd()) {
            if (text_[at_] == ')') Fail("a closing parenthesis without an opening one");
            Fail(std::string("unexpected '") + text_[at_] + "'");
        }
        return result;
    }

private:
    [[noreturn]] void Fail(const std::string& message) const { throw FormulaError(message, at_ + 1); }
    [[noreturn]] void FailAt(const std::string& message, std::size_t at) const { throw FormulaError(message, at + 1); }

    bool AtEnd() const { return at_ >= text_.size(); }
    void SkipBlanks()
    {
        while (!AtEnd() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    bool Accept(char c)
    {
        SkipBlanks();
        if (!AtEnd() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    // A word operator (and, or, not) standing as a word, not the start of a name.
    bool AcceptWord(std::string_view word)
    {
        SkipBlanks();
        if (text_.substr(at_, word.size()) != word) return false;
        const std::size_t after = at_ + word.size();
        if (after < text_.size() && IsNameChar(text_[after])) return false;
        at_ = after;
        return true;
    }

    NodePtr Either()
    {
        NodePtr left = Both();
        while (AcceptWord("or")) left = MakeBinary(NodeKind::Or, left, Both());
        return left;
    }

    NodePtr Both()
    {
        NodePtr left = Negation();
        while (AcceptWord("and")) left = MakeBinary(NodeKind::And, left, Negation());
        return left;
    }

    NodePtr Negation()
    {
        if (AcceptWord("not")) {
            Level level(depth_, *this);
            return MakeUnary(NodeKind::Not, Negation());
        }
        return Compare();
    }

    NodePtr Compare()
    {
        NodePtr left = Sum();
        SkipBlanks();
        for (const char* op : {"==", "!=", "<=", ">=", "<", ">"}) {
            const std::string_view text(op);
            if (text_.substr(at_, text.size()) != text) continue;
            at_ += text.size();
            auto node = std::make_shared<Node>();
            node->kind = NodeKind::Compare;
            node->text = op;
            node->left = left;
            node->right = Sum();
            SkipBlanks();
            for (const char* again : {"==", "!=", "<", ">"})
                if (text_.substr(at_, std::string_view(again).size()) == again)
                    Fail("comparisons do not chain: write (a < b) and (b < c)");
            return node;
        }
        if (!AtEnd() && (text_[at_] == '=' || text_[at_] == '!'))
            Fail(std::string("unexpected '") + text_[at_] + "' (a comparison is ==, !=, <, <=, > or >=)");
        return left;
    }

    NodePtr Sum()
    {
        NodePtr left = Product();
        for (;;) {
            if (Accept('+'))
                left = MakeBinary(NodeKind::Add, left, Product());
            else if (Accept('-'))
                left = MakeBinary(NodeKind::Subtract, left, Product());
            else
                return left;
        }
    }

    NodePtr Product()
    {
        NodePtr left = Unary();
        for (;;) {
            if (Accept('*')) {
                if (Accept('*')) Fail("'**' is not a power here: write '^'");
                left = MakeBinary(NodeKind::Multiply, left, Unary());
            } else if (Accept('/')) {
                left = MakeBinary(NodeKind::Divide, left, Unary());
            } else {
                return left;
            }
        }
    }

    // Every nesting (a sign, a parenthesis, a power, a call) passes here: bound it, so that no
    // text can exhaust the stack (the engine compiles far less deep formulas anyway).
    static constexpr int kMaxNesting = 200;

    struct Level {
        int& depth;
        Level(int& d, const Parser& parser) : depth(++d)
        {
            if (depth > kMaxNesting)
                parser.Fail("the formula nests more than " + std::to_string(kMaxNesting) +
                            " signs, parentheses, powers and calls within one another");
        }
        ~Level() { --depth; }
    };

    NodePtr Unary()
    {
        Level level(depth_, *this);
        if (Accept('-')) return MakeUnary(NodeKind::Negate, Unary());
        if (Accept('+')) return Unary();
        return Power();
    }

    NodePtr Power()
    {
        NodePtr base = Primary();
        if (Accept('^')) return MakeBinary(NodeKind::Power, base, Unary());
        return base;
    }

    NodePtr Primary()
    {
        SkipBlanks();
        if (AtEnd()) Fail("the formula ends where a value was expected");
        const char c = text_[at_];
        if (c == '(') {
            ++at_;
            NodePtr inner = Either();
            if (!Accept(')')) Fail("a parenthesis is not closed");
            return inner;
        }
        if (IsDigit(c) || c == '.') return Number();
        if (IsNameStart(c)) return NameOrCall();
        Fail(std::string("unexpected '") + c + "' where a value was expected");
    }

    // digits [. digits] [(e|E) [+|-] digits], or . digits ...
    NodePtr Number()
    {
        const std::size_t start = at_;
        while (!AtEnd() && IsDigit(text_[at_])) ++at_;
        if (!AtEnd() && text_[at_] == '.') {
            ++at_;
            while (!AtEnd() && IsDigit(text_[at_])) ++at_;
        }
        if (!AtEnd() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            std::size_t exponent = at_ + 1;
            if (exponent < text_.size() && (text_[exponent] == '+' || text_[exponent] == '-')) ++exponent;
            if (exponent >= text_.size() || !IsDigit(text_[exponent])) FailAt("a malformed number", start);
            at_ = exponent;
            while (!AtEnd() && IsDigit(text_[at_])) ++at_;
        }
        const std::string literal(text_.substr(start, at_ - start));
        double value = 0;
        const auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
        if (error != std::errc() || end != literal.data() + literal.size() || !std::isfinite(value))
            FailAt("a malformed number '" + literal + "'", start);
        if (!AtEnd() && (IsNameChar(text_[at_]) || text_[at_] == '.'))
            Fail("a number runs into '" + std::string(1, text_[at_]) + "'");
        return MakeNumber(literal, value);
    }

    NodePtr NameOrCall()
    {
        const std::size_t start = at_;
        while (!AtEnd() && IsNameChar(text_[at_])) ++at_;
        const std::string name(text_.substr(start, at_ - start));
        SkipBlanks();
        if (name == "and" || name == "or" || name == "not") FailAt("'" + name + "' where a value was expected", start);
        if (!AtEnd() && text_[at_] == '(' && name == "if") {
            ++at_;
            auto node = std::make_shared<Node>();
            node->kind = NodeKind::If;
            node->left = Either();
            if (!Accept(',')) Fail("if takes three parts: if(condition, value where it holds, value where not)");
            node->right = Either();
            if (!Accept(',')) Fail("if takes three parts: if(condition, value where it holds, value where not)");
            node->third = Either();
            if (!Accept(')')) Fail("a parenthesis is not closed");
            return node;
        }
        if (!AtEnd() && text_[at_] == '(') {
            ++at_;
            NodePtr argument = Either();
            if (!Accept(')')) Fail("a parenthesis is not closed");
            if (name == "exp") return MakeUnary(NodeKind::Exp, argument);
            if (name == "log" || name == "ln") return MakeUnary(NodeKind::Log, argument);
            if (name == "sqrt") return MakeBinary(NodeKind::Power, argument, MakeNumber("0.5", 0.5));
            FailAt("unknown function '" + name + "' (known: exp, log, ln, sqrt, if)", start);
        }
        const std::optional<Symbol> symbol = lookup_(name);
        if (!symbol) FailAt("unknown name '" + name + "'", start);
        auto node = std::make_shared<Node>();
        node->kind = NodeKind::Name;
        node->text = name;
        node->symbol = *symbol;
        return node;
    }

    std::string_view text_;
    const NameLookup& lookup_;
    std::size_t at_ = 0;
    int depth_ = 0;  // nesting of Unary, within kMaxNesting
};

}  // namespace

NodePtr ParseFormula(std::string_view text, const NameLookup& lookup) { return Parser(text, lookup).Formula(); }

bool ReadsKind(const Node& node, SymbolKind kind)
{
    if (node.kind == NodeKind::Name) return node.symbol.kind == kind;
    return (node.left && ReadsKind(*node.left, kind)) || (node.right && ReadsKind(*node.right, kind)) ||
           (node.third && ReadsKind(*node.third, kind));
}

bool ReadsCompartment(const Node& node) { return ReadsKind(node, SymbolKind::Compartment); }

}  // namespace tessuvan::cli
