#include "formula/compiler.h"

#include <algorithm>
#include <vector>

#include "formula/token_text.h"

namespace tessuvan {

namespace {

constexpr int kMaxNesting = 100;

// Shared by one top-level compilation and all its nested records.
struct CompilationContext {
    const FormulaEnvironment& env;
    int16_t& errors;
    std::vector<int> definitionsInProgress;  // adjustable parameters being inlined
    FormulaMeasure* measure = nullptr;       // when measuring: steps past the 256 are counted, not written
};

class RecordCompiler {
public:
    RecordCompiler(const TokenText& text, compil* record, CompilationContext& context, int depth)
        : text_(text), record_(record), context_(context), depth_(depth)
    {
        record_->functionScratch = &context_.env.variables.FunctionScratch;
    }

    void Compile()
    {
        if (context_.measure != nullptr) context_.measure->depth = std::max(context_.measure->depth, depth_);
        if (depth_ > kMaxNesting) {
            Error();
            return;
        }
        position_ = 1;
        FirstTerm();
        while (position_ < Length() && Ok()) {
            if (OperatorRule()) OperandRule();
        }
        if (pendingOperand_ && Ok()) Error();  // an operator step left without its operand
        // Only an operator may be left unread at the end (it is ignored); anything else there
        // is not part of the language.
        if (Ok() && position_ == Length() && !IsOperator(At(position_))) Error();
        record_->stop = std::min(last_ + 1, kMaxSteps);
        if (context_.measure != nullptr) context_.measure->steps = std::max(context_.measure->steps, last_ + 1);
    }

private:
    int Length() const { return static_cast<int>(text_.size()); }
    char16_t At(int p) const { return (p >= 1 && p <= Length()) ? text_[p - 1] : u'\0'; }
    bool Ok() const { return context_.errors == 0; }
    void Error() { AddCode(context_.errors, 1); }

    // Writes step i; a step beyond the record's 256 is an error and is not written.
    bool SetStep(int i, StepRoutine routine, const void* operand)
    {
        if (i >= kMaxSteps && i >= 0 && context_.measure != nullptr) {
            // Only counted: a nested record with nowhere to go is released here.
            if (routine == &StepSubFormula) FreeFormula(static_cast<compil*>(const_cast<void*>(operand)));
            return true;
        }
        if (i < 0 || i >= kMaxSteps) {
            Error();
            return false;
        }
        record_->fonction[i] = routine;
        record_->donnee[i] = operand;
        return true;
    }
    bool SetRoutine(int i, StepRoutine routine) { return SetStep(i, routine, StepOperand(i)); }
    bool SetOperand(int i, const void* operand) { return SetStep(i, RoutineOf(i), operand); }
    StepRoutine RoutineOf(int i) const { return (i >= 0 && i < kMaxSteps) ? record_->fonction[i] : nullptr; }
    const void* StepOperand(int i) const { return (i >= 0 && i < kMaxSteps) ? record_->donnee[i] : nullptr; }

    // Compiles positions first .. last (1-based, inclusive) of source into a new nested record.
    compil* CompileNested(const TokenText& source, int first, int lastPosition)
    {
        compil* nested = NewFormula();
        if (nested == nullptr) {
            Error();
            return nullptr;
        }
        const TokenText inner =
            lastPosition >= first ? source.substr(first - 1, lastPosition - first + 1) : TokenText();
        RecordCompiler(inner, nested, context_, depth_ + 1).Compile();
        nested->compiled = true;  // validity of the whole formula is decided at the top
        return nested;
    }

    // Compiles the group opening at p; returns its record (or nullptr) and its closing position.
    compil* CompileGroup(int p, int& close)
    {
        int status = 0;
        close = MatchParen(text_, p, status);
        if (status != 0) {
            Error();
            return nullptr;
        }
        if (close == p + 1) {  // an empty group
            Error();
            return nullptr;
        }
        return CompileNested(text_, p + 1, close - 1);
    }

    // The last step s holds an operator still waiting for its operand: s evaluates r, and the
    // operator moves to s + 1 with r's result as its operand.
    void InsertSubFormula(compil* r)
    {
        const int s = last_;
        const StepRoutine pending = RoutineOf(s);
        last_ = s + 1;
        if (!SetStep(s + 1, pending, &r->result)) {
            FreeFormula(r);
            return;
        }
        SetStep(s, &StepSubFormula, r);
        pendingOperand_ = false;
    }

    void FirstTerm()
    {
        if (Length() == 0) {
            Error();
            last_ = -1;
            return;
        }
        position_ = 2;
        last_ = 0;
        const char16_t c = At(1);
        if (c == u'(') {
            int close = 0;
            compil* nested = CompileGroup(1, close);
            if (nested == nullptr) return;
            SetStep(0, &StepSubFormula, nested);
            SetStep(1, &StepSet, &nested->result);
            last_ = 1;
            position_ = close + 1;
            return;
        }
        if (c == u'+') {
            SetStep(0, &StepSet, nullptr);
        } else if (c == u'-') {
            SetStep(0, &StepNegate, nullptr);
        } else {
            SetStep(0, &StepSet, nullptr);
            position_ = 1;
        }
        pendingOperand_ = true;
        OperandRule();
    }

    // Returns whether an operand follows.
    bool OperatorRule()
    {
        const char16_t c = At(position_);
        const int n = last_ + 1;
        if (pendingOperand_ && !IsFunctionLetter(c)) {
            Error();  // the previous operand never came
            return false;
        }
        switch (c) {
            case u'+': return Operator(n, &StepAdd);
            case u'-': return Operator(n, &StepSubtract);
            case u'*': return Operator(n, &StepMultiply);
            case u'/': return Operator(n, &StepDivide);
            case u'^': PowerRule(n); return false;
            case u'L': case u'l': FunctionRule(n, u'N', &StepLn); return false;
            case u'E': case u'e': FunctionRule(n, u'X', &StepExp); return false;
            default:
                last_ = n;
                Error();
                return true;
        }
    }

    bool Operator(int n, StepRoutine routine)
    {
        last_ = n;
        SetStep(n, routine, nullptr);
        pendingOperand_ = true;
        ++position_;
        return true;
    }

    void PowerRule(int n)
    {
        last_ = n;
        const StepRoutine remembered = RoutineOf(n - 1);
        SetRoutine(n - 1, &StepLoad);
        SetStep(n, &StepPower, nullptr);
        ++position_;
        // A bare function call as exponent would leave the power without operand.
        if (IsFunctionLetter(At(position_))) {
            Error();
            return;
        }
        pendingOperand_ = true;
        OperandRule();
        if (!Ok()) return;
        last_ += 1;
        SetStep(last_, remembered, &context_.env.variables.FunctionScratch);
    }

    void FunctionRule(int n, char16_t second, StepRoutine function)
    {
        if (Upper(At(position_ + 1)) != second || At(position_ + 2) != u'(') {
            last_ = n;
            Error();
            return;
        }
        if (!pendingOperand_) {
            last_ = n;
            Error();  // a function right after an operand: two operands in a row
            return;
        }
        int close = 0;
        compil* nested = CompileGroup(position_ + 2, close);
        if (nested == nullptr) return;
        const StepRoutine pending = RoutineOf(n - 1);
        if (!SetStep(n + 1, pending, &context_.env.variables.FunctionScratch)) {
            FreeFormula(nested);
            return;
        }
        SetStep(n - 1, &StepSubFormula, nested);
        SetStep(n, function, &nested->result);
        last_ = n + 1;
        pendingOperand_ = false;
        position_ = close + 1;
    }

    // Binds the operand of the last step, reading at the position.
    void OperandRule()
    {
        FormulaVariables& v = context_.env.variables;
        const char16_t c = At(position_);
        switch (c) {
            case u'C': case u'F': case u'P': case u'Q': case u'A': {
                const int k = IndexOfUnit(At(position_ + 1));
                if (position_ + 1 > Length() || k < 1 || k > IndexCapacity(c)) {
                    Error();
                    return;
                }
                position_ += 2;
                if (c == u'A') {
                    AdjustableOperand(k);
                    return;
                }
                const WorkingFloat* cell = c == u'C' ? &context_.env.constants.entry[k]
                                         : c == u'F' ? &v.SpeciesAmounts[k]
                                         : c == u'P' ? &v.PParameters[k]
                                                     : &v.QParameters[k];
                Bind(cell);
                return;
            }
            case u'T':
                position_ += 2;
                Bind(&v.CurrentTime);
                return;
            case u'(': {
                int close = 0;
                compil* nested = CompileGroup(position_, close);
                if (nested == nullptr) return;
                InsertSubFormula(nested);
                position_ = close + 1;
                return;
            }
            case u'E': case u'e': case u'L': case u'l':
                return;  // the operator rule compiles the call at this position next
            default:
                Error();
                return;
        }
    }

    void Bind(const WorkingFloat* cell)
    {
        SetOperand(last_, cell);
        pendingOperand_ = false;
    }

    void AdjustableOperand(int k)
    {
        FormulaVariables& v = context_.env.variables;
        DefinitionSource* definitions = context_.env.definitions;
        const TokenText* definition = definitions ? definitions->Definition(k) : nullptr;
        if (definition == nullptr) {
            Bind(&v.AdjustableValues[k]);
            return;
        }
        auto& inProgress = context_.definitionsInProgress;
        for (int other : inProgress) {
            if (other == k) {  // definitions that refer to each other in a cycle
                Error();
                return;
            }
        }
        inProgress.push_back(k);
        compil* nested = CompileNested(*definition, 1, static_cast<int>(definition->size()));
        inProgress.pop_back();
        if (nested == nullptr) return;
        AddCode(context_.errors, CountReferences(&v.AdjustableValues[k], nested));
        if (Ok()) {
            InsertSubFormula(nested);
            return;
        }
        // A definition that reads its own value is dropped; the plain value is used.
        FreeFormula(nested);
        definitions->DropDefinition(k);
        Bind(&v.AdjustableValues[k]);
    }

    const TokenText& text_;
    compil* record_;
    CompilationContext& context_;
    int depth_;
    int position_ = 1;
    int last_ = -1;
    bool pendingOperand_ = false;
};

}  // namespace

int MatchParen(const TokenText& text, int p, int& status)
{
    const int length = static_cast<int>(text.size());
    if (p < 1 || p > length || text[p - 1] != u'(') {
        status = 1;
        return p;
    }
    int depth = 1;
    for (int i = p + 1; i <= length; ++i) {
        if (text[i - 1] == u'(') ++depth;
        if (text[i - 1] == u')') --depth;
        if (depth == 0) {
            status = 0;
            return i;
        }
    }
    status = 1;
    return length + 1;
}

void CompileFormula(const TokenText& text, compilptr* target, int16_t& errors,
                    const FormulaEnvironment& env)
{
    compil* record = *target;
    if (record == nullptr) {
        AddCode(errors, 1);
        return;
    }
    CompilationContext context{env, errors, {}};
    RecordCompiler(text, record, context, 0).Compile();
    record->compiled = (errors == 0);
}

void MeasureFormula(const TokenText& text, compilptr* target, int16_t& errors, const FormulaEnvironment& env,
                    FormulaMeasure& measure)
{
    compil* record = *target;
    if (record == nullptr) {
        AddCode(errors, 1);
        return;
    }
    CompilationContext context{env, errors, {}, &measure};
    RecordCompiler(text, record, context, 0).Compile();
    record->compiled = false;  // a measured record is never evaluated
}

}  // namespace tessuvan
