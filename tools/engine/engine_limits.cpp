#include "engine/engine_limits.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

#include "engine/engine_codes.h"
#include "fmt/format.h"

#include "entry/engine.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::cli {

namespace {

constexpr double kObservationThreshold = TESSUVAN_OBSERVATION_THRESHOLD;  // tessuvan/tessuvan.h

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The numbers of a formula as the engine's tokenizer reads them, for the count of distinct
// numbers over a whole load (which the engine's table of constants cannot hold past its
// capacity): the other tokens are read only to be passed over, an operand (a variable, the
// time), an operator, a parenthesis or the head of a function call (EX or LN).
struct Token {
    enum Kind { Number, Variable, Operator, Open, Close, Function } kind = Number;
    char letter = 0;   // Variable: A, C, F, P, Q or T; Operator: the operator
    int index = 0;     // Variable: 1-based
    double value = 0;  // Number: its value
};

// The text as the engine's tokenizer leaves it: blanks gone, a sign in front, a minus sign
// directly before a number made part of the number (the sign in the text becomes "+").
std::vector<Token> Tokenize(const std::string& source)
{
    std::string text;
    for (char c : source)
        if (c != ' ') text += c;
    if (text.empty() || (text[0] != '+' && text[0] != '-')) text.insert(text.begin(), '+');
    std::vector<Token> tokens;
    for (std::size_t p = 0; p < text.size();) {
        const char c = text[p];
        if (IsDigit(c) || c == '.') {
            // A literal: digits and points, an E or e taking the next character with it.
            std::size_t end = p + 1;
            while (end < text.size()) {
                if (IsDigit(text[end]) || text[end] == '.')
                    ++end;
                else if (text[end] == 'E' || text[end] == 'e')
                    end += 2;
                else
                    break;
            }
            end = std::min(end, text.size());
            std::string literal = text.substr(p, end - p);
            if (!tokens.empty() && tokens.back().kind == Token::Operator && tokens.back().letter == '-') {
                tokens.back().letter = '+';
                literal.insert(literal.begin(), '-');
            }
            Token number{Token::Number, 0, 0, 0};
            std::from_chars(literal.data(), literal.data() + literal.size(), number.value);
            tokens.push_back(number);
            p = end;
        } else if (c == 'A' || c == 'C' || c == 'F' || c == 'P' || c == 'Q') {
            const std::size_t digits = p + 2 < text.size() && IsDigit(text[p + 2]) ? 2 : 1;
            int index = 0;
            std::from_chars(text.data() + p + 1, text.data() + std::min(text.size(), p + 1 + digits), index);
            tokens.push_back({Token::Variable, c, index, 0});
            p += 1 + digits;
        } else if (c == 'T') {
            tokens.push_back({Token::Variable, 'T', 0, 0});
            ++p;
        } else if ((c == 'E' || c == 'L') && p + 1 < text.size()) {
            tokens.push_back({Token::Function, c, 0, 0});
            p += 2;  // "EX" or "LN"; the "(" is the next token
        } else if (c == '(') {
            tokens.push_back({Token::Open, '(', 0, 0});
            ++p;
        } else if (c == ')') {
            tokens.push_back({Token::Close, ')', 0, 0});
            ++p;
        } else {
            tokens.push_back({Token::Operator, c, 0, 0});
            ++p;
        }
    }
    return tokens;
}

// One engine formula with where it comes from, for messages.
struct Origin {
    bool data = false;  // from the data set (doses, covariate values) rather than the model file
    std::string where;  // the model-file key, or the individual and interrupt
};

struct EngineFormula {
    const std::string* text;
    Origin origin;
};

// Every formula of the problem in the order the engine loads them: the defining formulas, the
// P formulas by parameter and interrupt, the species' start formulas by species, interrupt and
// individual, the outputs, then each species' rate coefficients and its free term.
std::vector<EngineFormula> InLoadOrder(const Model& model, const EngineProblem& problem)
{
    std::vector<EngineFormula> formulas;
    for (std::size_t a = 0; a < problem.parameterTexts.size(); ++a)
        formulas.push_back(
            {&problem.parameterTexts[a], {false, "parameters." + model.parameters[a].name + ".formula"}});
    const std::size_t pCount = problem.pTexts.empty() ? 0 : problem.pTexts.front().size();
    for (std::size_t p = 0; p < pCount; ++p)
        for (std::size_t t = 0; t < std::size_t(problem.interruptCount) && t < problem.pTexts.size(); ++t)
            formulas.push_back(
                {&problem.pTexts[t][p],
                 {false, p < model.pParameters.size() ? "p_parameters." + model.pParameters[p].name
                                                      : "the copies of the amounts (P" + std::to_string(p + 1) + ")"}});
    for (int s = 0; s < problem.speciesCount; ++s)
        for (int t = 0; t < problem.interruptCount; ++t)
            for (const EngineIndividual& individual : problem.individuals)
                if (std::size_t(t) < individual.startFormulas.size())
                    formulas.push_back(
                        {&individual.startFormulas[std::size_t(t)][std::size_t(s)],
                         {true, "the amounts set at interrupt " + std::to_string(t + 1) + " of individual " +
                                    individual.id + " (from line " + std::to_string(individual.firstLine) + ")"}});
    for (std::size_t k = 0; k < problem.outputTexts.size(); ++k)
        formulas.push_back({&problem.outputTexts[k], {false, "outputs." + model.outputs[problem.outputOf[k]].name}});
    for (int s = 0; s < problem.speciesCount; ++s) {
        const std::string rate = s < int(model.compartments.size())
                                     ? "model.rates (d(" + model.compartments[std::size_t(s)] + ")/dt)"
                                     : "the infusion rates";
        for (int e = 0; e < problem.speciesCount; ++e)
            formulas.push_back({&problem.matrixText[std::size_t(s)][std::size_t(e)], {false, rate}});
        formulas.push_back({&problem.freeText[std::size_t(s)], {false, rate}});
    }
    return formulas;
}

[[noreturn]] void Refuse(const Model& model, const DataSet& data, const Origin& origin, const std::string& message)
{
    if (origin.data) throw DataError(data.source + ": " + origin.where + ": " + message);
    throw ModelError(model.source + ": " + origin.where + ": " + message);
}

}  // namespace

FormulaSize MeasureFormula(const std::string& text, const std::vector<std::string>& definitions)
{
    const FormulaCheck check = Engine::CheckFormula(text, definitions);
    return FormulaSize{check.steps, check.depth};
}

void CollectConstants(const std::string& text, std::vector<double>& values)
{
    for (const Token& token : Tokenize(text))
        if (token.kind == Token::Number && std::find(values.begin(), values.end(), token.value) == values.end())
            values.push_back(token.value);
}

namespace {

void CheckOneLoad(const Model& model, const EngineProblem& problem, const DataSet& data)
{
    // The observations the engine counts: values above 1e-130 once stored as singles.
    int observed = 0;
    for (const EngineIndividual& individual : problem.individuals)
        for (const EnginePoint& point : individual.points)
            for (double value : point.observed)
                if (float(value) > kObservationThreshold) ++observed;
    if (observed == 0)
        throw DataError(data.source +
                        ": no observation with a positive DV: the engine has nothing to compare the "
                        "model with");
    int estimated = 0;
    for (const ParameterSpec& parameter : model.parameters)
        if (parameter.estimate != Estimate::Fixed && parameter.formula.empty()) ++estimated;
    if (observed < estimated)
        throw DataError(data.source + ": " + std::to_string(observed) + " observation(s) for " +
                        std::to_string(estimated) +
                        " estimated parameter(s): the engine needs at least one observation per parameter it "
                        "estimates (fix some in the model file)");

    std::vector<double> constants;
    for (const EngineFormula& formula : InLoadOrder(model, problem)) {
        if (formula.text->empty()) continue;
        const FormulaSize size = MeasureFormula(*formula.text, problem.parameterTexts);
        if (size.steps > kEngineStepsPerPart)
            Refuse(model, data, formula.origin,
                   "the formula needs " + std::to_string(size.steps) +
                       " steps in one part (a sum or product outside parentheses, with the defined parameters "
                       "it reads written out), more than the " +
                       std::to_string(kEngineStepsPerPart) +
                       " the engine compiles: move some terms into a parameter defined by a formula, or into "
                       "parentheses");
        if (size.depth > kEngineNesting)
            Refuse(model, data, formula.origin,
                   "the formula nests " + std::to_string(size.depth) +
                       " parts (parentheses, function calls and defined parameters read within one another), "
                       "more than the " +
                       std::to_string(kEngineNesting) + " the engine compiles");
        const std::size_t before = constants.size();
        CollectConstants(*formula.text, constants);
        if (constants.size() > std::size_t(kEngineConstants) && before <= std::size_t(kEngineConstants)) {
            std::vector<double> fromModel;
            for (const EngineFormula& other : InLoadOrder(model, problem))
                if (!other.origin.data) CollectConstants(*other.text, fromModel);
            std::vector<double> all = constants;
            for (const EngineFormula& other : InLoadOrder(model, problem)) CollectConstants(*other.text, all);
            Refuse(model, data, formula.origin,
                   "the formulas handed to the engine use " + std::to_string(all.size()) + " distinct numbers (" +
                       std::to_string(fromModel.size()) +
                       " from the model file, the rest from the data set's doses and covariate values), more "
                       "than the " +
                       std::to_string(kEngineConstants) + " the engine holds in one load; the limit is passed here. " +
                       (fromModel.size() > std::size_t(kEngineConstants)
                            ? "Write fewer distinct numbers in the model's formulas"
                            : "Use fewer distinct numbers: in the model's formulas, or among the dose amounts and "
                              "changing covariate values (round them, or split the data set)"));
        }
    }
}

}  // namespace

double FinestQualityControlPrecision() { return 10 * double(std::numeric_limits<TessuvanWorkingFloat>::epsilon()); }

void CheckIntegrationReach(const Model& model)
{
    // The engine receives the precision as a 32-bit float (BFitSet.Precision).
    const double precision = double(float(model.fit.precision));
    if (model.fit.method != "RUNGE-KUTTA QC" || !(precision < FinestQualityControlPrecision())) return;
    throw EngineError(fmt::format(
        "{}: fit.precision {:g} is finer than RUNGE-KUTTA QC can meet in the engine's arithmetic ({:.2g}): its "
        "steps would shrink until they no longer advance the time, and it would end every interval in one step "
        "of unchecked error, where the other methods stop at 250,000 integration steps, the most the engine takes; "
        "fit.precision is far too small for the model (1e-6 to 1e-10 is usual)",
        model.source, model.fit.precision, FinestQualityControlPrecision()));
}

void CheckEngineLimits(const Model& model, const EngineProblem& problem, const DataSet& data)
{
    CheckIntegrationReach(model);
    // The population estimation loads the individuals in blocks of the engine's capacity.
    const std::size_t perLoad = MaxIndividuals;
    if (problem.individuals.size() <= perLoad) return CheckOneLoad(model, problem, data);
    for (std::size_t first = 0; first < problem.individuals.size(); first += perLoad) {
        EngineProblem block = problem;
        block.individuals.assign(
            problem.individuals.begin() + long(first),
            problem.individuals.begin() + long(std::min(problem.individuals.size(), first + perLoad)));
        CheckOneLoad(model, block, data);
    }
}

}  // namespace tessuvan::cli
