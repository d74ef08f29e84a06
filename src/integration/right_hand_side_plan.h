// A faster way to the same right-hand side f(t, x) = A(t, x)·x + F(t, x): a plan built once
// per loaded model that sorts the entries of A and F into three kinds,
//
//   absent           the value 0, written once;
//   interval-fixed   reads neither the time nor an amount, so while the parameters stay as
//                    they are its value cannot change: it is evaluated again only when one of
//                    the cells it reads holds other bits than when it was last evaluated (in a
//                    simulation: once per interval at most, when the driver installs values);
//   varying          reads the time or an amount: evaluated at every call, with the trial time
//                    and amounts written into the cells it reads and given back afterwards.
//
// Every value is computed by the same operations (flat_formula.h) from the same cell contents
// as the plain EvaluateFM / EvaluateAM would at that moment, and the product A·x + F is formed in the plain
// order (MatrixTimesVector, then + F), so the results agree with the plain path to the last
// bit. The formula variables are left exactly as they were found, as by the plain protocol.
//
// A plan serves one species count (the model's NEspeces); a call with any other n, or a plan
// whose equations have been freed, must take the plain path (Serves tells).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "formula/flat_formula.h"
#include "integration/right_hand_side.h"

namespace tessuvan {

class RightHandSidePlan {
public:
    // The plan of equations for n species (0..20) bound to variables; nullptr when out of memory.
    static std::unique_ptr<RightHandSidePlan> Build(const PEquations& equations, FormulaVariables& variables, int n);

    bool Serves(int n) const { return n == n_; }
    // How many entries of A and F are evaluated at every call (the rest are absent or fixed).
    size_t VaryingCount() const { return varying_.size(); }
    size_t FixedCount() const { return fixed_.size(); }

    // As ModelDerivative, EvaluateAM and EvaluateFM for the n the plan serves.
    void Derivative(WorkingFloat t, const AmountVector& x, AmountVector& dx);
    void EvaluateMatrix(WorkingFloat t, const AmountVector& x, ModelMatrix& A);
    void EvaluateFreeTerms(WorkingFloat t, const AmountVector& x, AmountVector& F);

    // For PlannedCoefficients (coefficients.h), which reads A and F inside the plan:
    // PrepareInterval once at the start of an integration (nothing a fixed entry reads can
    // change until it returns), then AtPoint at every evaluation; afterwards Matrix() and
    // FreeTerms() hold A(t, x) and F(t, x).
    void PrepareInterval()
    {
        if (!FixedCurrent()) EvaluateFixed();
    }
    bool HasVarying() const { return !varying_.empty(); }
    void AtPoint(WorkingFloat t, const AmountVector& x)
    {
        if (!varying_.empty()) EvaluateVarying(t, x);
    }
    const ModelMatrix& Matrix() const { return A_; }
    const AmountVector& FreeTerms() const { return F_; }

    // PrepareInterval and AtPoint together, for a caller that may change values between calls.
    void Refresh(WorkingFloat t, const AmountVector& x)
    {
        PrepareInterval();
        AtPoint(t, x);
    }

private:
    struct Entry {
        const FlatFormula* formula;  // laid out for the tight evaluation loop
        WorkingFloat* target;        // the entry of A_ or F_ it fills
    };

    RightHandSidePlan(FormulaVariables& variables, int n) : variables_(variables), n_(n) {}

    bool FixedCurrent() const;
    void EvaluateFixed();
    void EvaluateVarying(WorkingFloat t, const AmountVector& x);

    FormulaVariables& variables_;
    int n_;
    ModelMatrix A_{};
    AmountVector F_{};
    std::vector<std::unique_ptr<FlatFormula>> formulas_;
    std::vector<Entry> fixed_;
    std::vector<Entry> varying_;
    // The cells the fixed entries read and the values they held when last evaluated.
    std::vector<const WorkingFloat*> fixedInputs_;
    std::vector<WorkingFloat> fixedInputValues_;
    bool fixedEvaluated_ = false;
    // The amount cells (1..20) and whether the time cell are read by varying entries.
    std::vector<int> speciesRead_;
    bool timeRead_ = false;
};

// Whether two values have the same bits (the meaningful ones of the x87 extended format):
// a signed zero or a NaN payload can change a formula's value, so == is not enough.
bool SameBits(WorkingFloat a, WorkingFloat b);

}  // namespace tessuvan
