// Shared by the formula tests: an environment with its own variables and constant table, and
// a one-call path from host text to a value.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "formula/compiled_formula.h"
#include "formula/compiler.h"
#include "formula/tokenizer.h"

namespace tessuvan::testing {

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
inline std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

// Parameter definitions held by a test (token text per adjustable parameter).
class TestDefinitions : public DefinitionSource {
public:
    const TokenText* Definition(int k) const override
    {
        auto it = texts.find(k);
        return it == texts.end() ? nullptr : &it->second;
    }
    void DropDefinition(int k) override { texts.erase(k); }
    std::map<int, TokenText> texts;
};

struct FormulaBench {
    FormulaVariables variables;
    ConstantTable constants;
    TestDefinitions definitions;

    FormulaEnvironment Environment() { return FormulaEnvironment{variables, constants, &definitions}; }

    struct Compiled {
        compilptr formula = nullptr;
        int16_t errors = 0;
        TokenText tokens;
        ~Compiled() { FreeFormula(formula); }
    };

    // Tokenizes and compiles a host text (no simplification).
    std::unique_ptr<Compiled> Compile(const std::string& text)
    {
        auto out = std::make_unique<Compiled>();
        out->tokens = U16(text);
        TokenizeFormula(out->tokens, out->errors, constants);
        if (out->errors != 0) return out;
        out->formula = NewFormula();
        CompileFormula(out->tokens, &out->formula, out->errors, Environment());
        return out;
    }

    // Compiles already-tokenized text.
    std::unique_ptr<Compiled> CompileTokens(const TokenText& tokens)
    {
        auto out = std::make_unique<Compiled>();
        out->tokens = tokens;
        out->formula = NewFormula();
        CompileFormula(out->tokens, &out->formula, out->errors, Environment());
        return out;
    }
};

}  // namespace tessuvan::testing
