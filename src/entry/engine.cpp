#include "entry/engine.h"

#include <algorithm>
#include <new>

#include "entry/entry_points.h"
#include "entry/floating_point_guard.h"
#include "formula/compiler.h"
#include "formula/tokenizer.h"
#include "library/drivers.h"
#include "library/library_state.h"
#include "library/model_load.h"

namespace tessuvan {

namespace {

// Runs call with the caller's floating-point environment held and every exception masked;
// whatever escapes becomes a code added to *code.
template <typename Call>
void Guarded(int16_t* code, Call&& call) noexcept
{
    try {
        FloatingPointGuard guard;
        call();
    } catch (const std::bad_alloc&) {
        if (code != nullptr) AddCode(*code, TessuvanOutOfMemory);
    } catch (...) {
        if (code != nullptr) AddCode(*code, TessuvanContractError);
    }
}

int16_t* CodeOf(BFitSet* fit) { return fit != nullptr ? &fit->Erreur : nullptr; }

// The defining formulas of the checked text, in token text, as a load holds them.
class CheckedDefinitions final : public DefinitionSource {
public:
    explicit CheckedDefinitions(std::vector<TokenText> texts) : texts_(std::move(texts)) {}
    const TokenText* Definition(int k) const override
    {
        const size_t at = static_cast<size_t>(k - 1);
        return k >= 1 && at < texts_.size() && !texts_[at].empty() ? &texts_[at] : nullptr;
    }
    void DropDefinition(int k) override
    {
        if (k >= 1 && static_cast<size_t>(k) <= texts_.size()) texts_[static_cast<size_t>(k - 1)].clear();
    }

private:
    std::vector<TokenText> texts_;
};

TokenText Widened(const std::string& text) { return TokenText(text.begin(), text.end()); }

// The record a formula is measured into, released with it.
struct MeasuredRecord {
    compilptr record = NewFormula();
    ~MeasuredRecord() { FreeFormula(record); }
};

}  // namespace

Engine::Engine() : state_(std::make_unique<LibraryState>()) {}

Engine::~Engine() { state_->ReleaseFormulasAndStore(); }

void Engine::Load(BInitials* init, BFitSet* fit, ParameterTable* table, PParameterTexts* pTexts,
                  QParameterValues* qValues, OutputTexts* outputs) noexcept
{
    Guarded(CodeOf(fit), [&] { CalculInitial(*state_, init, fit, table, pTexts, qValues, outputs); });
}

void Engine::Load(BInitials* init, BFitSet* fit, ParameterTable* table, PParameterTexts* pTexts,
                  QParameterValues* qValues, OutputTexts* outputs, const std::vector<TessuvanPointRecord>& points,
                  std::string_view speciesText) noexcept
{
    Guarded(CodeOf(fit), [&] {
        const ModelDataInMemory data{points, speciesText};
        CalculInitial(*state_, init, fit, table, pTexts, qValues, outputs, &data);
    });
}

void Engine::Simulate(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table) noexcept
{
    Guarded(CodeOf(fit), [&] { RunSimulation(*state_, init, fit, reserved, table); });
}

void Engine::PopulationIteration(BInitials* init, BFitSet* fit, void* reserved, ParameterTable* table) noexcept
{
    Guarded(CodeOf(fit), [&] { AjustementPop(*state_, init, fit, reserved, table); });
}

void Engine::IndividualIteration(int16_t* individual, BInitials* init, BFitSet* fit, void* reserved,
                                 ParameterTable* table) noexcept
{
    Guarded(CodeOf(fit), [&] { AjustementInd(*state_, individual, init, fit, reserved, table); });
}

void Engine::Release(BInitials* init, BFitSet* fit) noexcept
{
    Guarded(CodeOf(fit), [&] { FinRun(*state_, init, fit); });
}

int Engine::Individuals() const noexcept { return state_->modelReady ? state_->loadedCounts.NIndividuals : 0; }
int Engine::Parameters() const noexcept { return state_->modelReady ? state_->loadedCounts.NAjustables : 0; }
int Engine::Outputs() const noexcept { return state_->modelReady ? state_->loadedCounts.NSorties : 0; }

void Engine::UseSettings(const BFitSet& fit) noexcept
{
    state_->fit = fit;
    state_->fit.Erreur = 0;
}

int Engine::SimulateIndividual(int a, const double* values) noexcept
{
    LibraryState& state = *state_;
    if (!state.modelReady || state.store == nullptr || a < 1 || a > state.loadedCounts.NIndividuals)
        return TessuvanContractError;
    int16_t code = 0;
    Guarded(&code, [&] {
        const int parameters = state.loadedCounts.NAjustables;
        for (int p = 1; p <= parameters; ++p)
            state.AdjustableTable[static_cast<size_t>(p)].PV[static_cast<size_t>(a)] = values[p - 1];
        state.fit.Erreur = 0;
        tessuvan::SimulateIndividual(state, a, *state.store);
        code = state.fit.Erreur;
    });
    return code;
}

// A read as a double: a plain load where WorkingFloat is double (no floating-point operation,
// nothing to guard, and the estimation reads every prediction of every walk); the conversion
// from the extended type rounds and may overflow, so it runs guarded.
double Engine::AsDouble(const WorkingFloat& value) noexcept
{
    if constexpr (sizeof(WorkingFloat) == sizeof(double)) {
        return static_cast<double>(value);
    } else {
        double result = 0;
        Guarded(nullptr, [&] { result = static_cast<double>(value); });
        return result;
    }
}

double Engine::IndividualPrediction(int a, int j, int k) const noexcept
{
    return AsDouble(state_->store->IndividualPrediction(a, j, k));
}

double Engine::UsedValue(int a, int p) const noexcept
{
    return AsDouble(state_->AdjustableTable[static_cast<size_t>(p)].PV[static_cast<size_t>(a)]);
}

std::vector<std::vector<PredictedPoint>> Engine::Predictions(int* code) const noexcept
{
    std::vector<std::vector<PredictedPoint>> points;
    int16_t failure = 0;
    Guarded(&failure, [&] {
        if (!state_->modelReady || state_->store == nullptr) return;
        ModelStore& store = *state_->store;
        const BInitials& counts = state_->loadedCounts;
        points.resize(static_cast<size_t>(counts.NIndividuals));
        for (int i = 1; i <= counts.NIndividuals; ++i)
            for (int j = 1; j <= store.PointCount(i); ++j) {
                PredictedPoint point;
                point.time = static_cast<double>(store.Time(i, j));
                for (int k = 1; k <= counts.NSorties; ++k) {
                    point.observed.push_back(static_cast<double>(store.Observed(i, j, k)));
                    point.population.push_back(static_cast<double>(store.PopulationPrediction(i, j, k)));
                    point.individual.push_back(static_cast<double>(store.IndividualPrediction(i, j, k)));
                }
                points[static_cast<size_t>(i - 1)].push_back(std::move(point));
            }
    });
    if (failure != 0) points.clear();
    if (code != nullptr) *code = failure;
    return points;
}

FormulaCheck Engine::CheckFormula(const std::string& text, const std::vector<std::string>& definitions) noexcept
{
    FormulaCheck check;
    int16_t failure = 0;
    Guarded(&failure, [&] {
        const auto variables = std::make_unique<FormulaVariables>();
        const auto constants = std::make_unique<ConstantTable>();
        const auto definitionConstants = std::make_unique<ConstantTable>();
        // The definitions in token text, their numbers in a table of their own (only the
        // checked text's steps are counted, never evaluated).
        std::vector<TokenText> defined;
        for (const std::string& definition : definitions) {
            TokenText tokens = Widened(definition);
            int16_t errors = 0;
            if (!tokens.empty()) TokenizeFormula(tokens, errors, *definitionConstants);
            defined.push_back(errors == 0 ? tokens : TokenText());
        }
        CheckedDefinitions source(std::move(defined));
        TokenText tokens = Widened(text);
        int16_t errors = 0;
        TokenizeFormula(tokens, errors, *constants);
        if (errors == 0) {
            MeasuredRecord measured;
            if (measured.record == nullptr) throw std::bad_alloc();
            FormulaMeasure measure;
            MeasureFormula(tokens, &measured.record, errors, FormulaEnvironment{*variables, *constants, &source},
                           measure);
            check.steps = measure.steps;
            check.depth = measure.depth;
            if (measure.steps > kMaxSteps) AddCode(errors, 1);  // what the load's compile reports
        }
        check.errors = errors;
    });
    if (failure != 0) check.errors = failure;
    return check;
}

Engine& ProcessEngine()
{
    static Engine* const engine = new Engine();  // lives as long as the library
    return *engine;
}

}  // namespace tessuvan
