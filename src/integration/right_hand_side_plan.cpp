// The plan's sorting of formulas by the cells they read, and its evaluations.
#include "integration/right_hand_side_plan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace tessuvan {

namespace {

// What one formula reads, found by walking its steps and those of every nested record.
struct CellsRead {
    std::vector<const void*> internal;   // results of nested records: written before they are read
    std::vector<const void*> leaves;     // every other operand address
};

void CollectCells(const compil* f, CellsRead& cells)
{
    for (int32_t i = 0; i < f->stop; ++i) {
        if (f->fonction[i] == &StepSubFormula) {
            const compil* nested = static_cast<const compil*>(f->donnee[i]);
            if (nested == nullptr) continue;
            cells.internal.push_back(&nested->result);
            CollectCells(nested, cells);
        } else {
            cells.leaves.push_back(f->donnee[i]);
        }
    }
}

bool Within(const void* address, const WorkingFloat* first, const WorkingFloat* last)
{
    const auto* a = static_cast<const WorkingFloat*>(address);
    return std::less_equal<const WorkingFloat*>()(first, a) && std::less_equal<const WorkingFloat*>()(a, last);
}

template <typename T>
void AddOnce(std::vector<T>& list, T value)
{
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

}  // namespace

bool SameBits(WorkingFloat a, WorkingFloat b)
{
    // 10 bytes carry the x87 extended value; the rest of its storage is padding.
    constexpr size_t bytes = std::numeric_limits<WorkingFloat>::digits == 64 ? 10 : sizeof(WorkingFloat);
    return std::memcmp(&a, &b, bytes) == 0;
}

std::unique_ptr<RightHandSidePlan> RightHandSidePlan::Build(const PEquations& equations, FormulaVariables& variables,
                                                            int n)
{
    std::unique_ptr<RightHandSidePlan> plan(new (std::nothrow) RightHandSidePlan(variables, n));
    if (!plan) return nullptr;
    const WorkingFloat* firstAmount = &variables.SpeciesAmounts[1];
    const WorkingFloat* lastAmount = &variables.SpeciesAmounts[kMaxSpecies];
    std::vector<bool> speciesRead(kMaxSpecies + 1, false);

    auto sort = [&](const compil* f, WorkingFloat* target) {
        *target = 0;  // absent entries stay 0, as the plain evaluation stores them
        if (!FormulaPresent(f)) return;
        CellsRead cells;
        CollectCells(f, cells);
        bool varying = false;
        std::vector<const WorkingFloat*> inputs;
        for (const void* leaf : cells.leaves) {
            if (leaf == f->functionScratch || leaf == &variables.FunctionScratch) continue;
            if (std::find(cells.internal.begin(), cells.internal.end(), leaf) != cells.internal.end()) continue;
            if (leaf == &variables.CurrentTime) {
                varying = true;
                plan->timeRead_ = true;
            } else if (Within(leaf, firstAmount, lastAmount)) {
                varying = true;
                speciesRead[static_cast<size_t>(static_cast<const WorkingFloat*>(leaf) - &variables.SpeciesAmounts[0])] = true;
            } else {
                // A parameter, P or Q cell, or a constant: fixed while its bits do not change.
                inputs.push_back(static_cast<const WorkingFloat*>(leaf));
            }
        }
        std::unique_ptr<FlatFormula> flat = FlatFormula::Build(f);
        if (!flat) throw std::bad_alloc();
        plan->formulas_.push_back(std::move(flat));
        const FlatFormula* formula = plan->formulas_.back().get();
        if (varying) {
            plan->varying_.push_back({formula, target});
        } else {
            plan->fixed_.push_back({formula, target});
            for (const WorkingFloat* cell : inputs) AddOnce(plan->fixedInputs_, cell);
        }
    };

    try {
        for (int i = 1; i <= n; ++i) sort(equations.FM[i], &plan->F_[i]);
        for (int i = 1; i <= n; ++i)
            for (int j = 1; j <= n; ++j) sort(equations.AM[i][j], &plan->A_[i][j]);
        for (int s = 1; s <= kMaxSpecies; ++s)
            if (speciesRead[static_cast<size_t>(s)]) plan->speciesRead_.push_back(s);
        plan->fixedInputValues_.assign(plan->fixedInputs_.size(), 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return plan;
}

bool RightHandSidePlan::FixedCurrent() const
{
    if (!fixedEvaluated_) return false;
    for (size_t k = 0; k < fixedInputs_.size(); ++k)
        if (!SameBits(*fixedInputs_[k], fixedInputValues_[k])) return false;
    return true;
}

void RightHandSidePlan::EvaluateFixed()
{
    for (size_t k = 0; k < fixedInputs_.size(); ++k) fixedInputValues_[k] = *fixedInputs_[k];
    for (const Entry& entry : fixed_) *entry.target = entry.formula->Evaluate();
    fixedEvaluated_ = true;
}

// The plain protocol on the cells that matter: the trial time and amounts go into the cells
// the varying formulas read, and the caller's values come back afterwards.
void RightHandSidePlan::EvaluateVarying(WorkingFloat t, const AmountVector& x)
{
    WorkingFloat savedAmounts[kMaxSpecies + 1];
    const WorkingFloat savedTime = variables_.CurrentTime;
    for (int s : speciesRead_) {
        savedAmounts[s] = variables_.SpeciesAmounts[s];
        variables_.SpeciesAmounts[s] = x[s];
    }
    if (timeRead_) variables_.CurrentTime = t;
    for (const Entry& entry : varying_) *entry.target = entry.formula->Evaluate();
    variables_.CurrentTime = savedTime;
    for (int s : speciesRead_) variables_.SpeciesAmounts[s] = savedAmounts[s];
}

void RightHandSidePlan::Derivative(WorkingFloat t, const AmountVector& x, AmountVector& dx)
{
    Refresh(t, x);
    const int n = n_;
    for (int i = 1; i <= n; ++i) {
        WorkingFloat sum = A_[i][1] * x[1];
        for (int j = 2; j <= n; ++j) sum = sum + A_[i][j] * x[j];
        dx[i] = sum;
    }
    for (int i = 1; i <= n; ++i) dx[i] = dx[i] + F_[i];
}

void RightHandSidePlan::EvaluateMatrix(WorkingFloat t, const AmountVector& x, ModelMatrix& A)
{
    Refresh(t, x);
    for (int i = 1; i <= n_; ++i)
        for (int j = 1; j <= n_; ++j) A[i][j] = A_[i][j];
}

void RightHandSidePlan::EvaluateFreeTerms(WorkingFloat t, const AmountVector& x, AmountVector& F)
{
    Refresh(t, x);
    for (int i = 1; i <= n_; ++i) F[i] = F_[i];
}

}  // namespace tessuvan
