// The model's right-hand side f(t, x) = A(t, x)·x + F(t, x) through compiled formulas. The
// formulas are bound to the cells of FormulaVariables, so an evaluation at a trial point
// borrows CurrentTime and SpeciesAmounts and gives them back afterwards.
#include "integration/right_hand_side.h"

#include "integration/right_hand_side_plan.h"

namespace tessuvan {

namespace {

// The borrowed cells for the length of one evaluation: the trial time and amounts go in on
// construction, the caller's values come back on destruction.
class TrialPoint {
public:
    TrialPoint(FormulaVariables& variables, WorkingFloat t, const AmountVector& x)
        : variables_(variables), savedTime_(variables.CurrentTime)
    {
        for (int i = 1; i <= kMaxSpecies; ++i) savedAmounts_[i] = variables.SpeciesAmounts[i];
        variables.CurrentTime = t;
        for (int i = 1; i <= kMaxSpecies; ++i) variables.SpeciesAmounts[i] = x[i];
    }
    ~TrialPoint()
    {
        variables_.CurrentTime = savedTime_;
        for (int i = 1; i <= kMaxSpecies; ++i) variables_.SpeciesAmounts[i] = savedAmounts_[i];
    }
    TrialPoint(const TrialPoint&) = delete;
    TrialPoint& operator=(const TrialPoint&) = delete;

private:
    FormulaVariables& variables_;
    WorkingFloat savedTime_;
    AmountVector savedAmounts_;
};

// An absent formula (null, or left uncompiled by a failed load) stands for 0.
inline WorkingFloat ValueOrZero(const compil* f) { return FormulaPresent(f) ? EvaluateFormula(f) : 0; }

}  // namespace

void EvaluateFM(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, AmountVector& F)
{
    if (rhs.plan != nullptr && rhs.plan->Serves(n)) return rhs.plan->EvaluateFreeTerms(t, x, F);
    TrialPoint trial(rhs.variables, t, x);
    for (int i = 1; i <= n; ++i) F[i] = ValueOrZero(rhs.equations.FM[i]);
}

void EvaluateAM(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, ModelMatrix& A)
{
    if (rhs.plan != nullptr && rhs.plan->Serves(n)) return rhs.plan->EvaluateMatrix(t, x, A);
    TrialPoint trial(rhs.variables, t, x);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) A[i][j] = ValueOrZero(rhs.equations.AM[i][j]);
}

void MatrixTimesVector(int n, const ModelMatrix& M, AmountVector x, AmountVector& y)
{
    for (int i = 1; i <= n; ++i) {
        WorkingFloat sum = M[i][1] * x[1];
        for (int j = 2; j <= n; ++j) sum = sum + M[i][j] * x[j];
        y[i] = sum;
    }
}

void MatrixTimesVectorPlus(int n, AmountVector x, AmountVector F, const ModelMatrix& M, AmountVector& y)
{
    MatrixTimesVector(n, M, x, y);
    for (int i = 1; i <= n; ++i) y[i] = y[i] + F[i];
}

void ModelDerivative(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector x, AmountVector& dx)
{
    if (rhs.plan != nullptr && rhs.plan->Serves(n)) return rhs.plan->Derivative(t, x, dx);
    AmountVector F;
    ModelMatrix A;
    EvaluateFM(rhs, n, t, x, F);
    EvaluateAM(rhs, n, t, x, A);
    MatrixTimesVectorPlus(n, x, F, A, dx);
}

}  // namespace tessuvan
