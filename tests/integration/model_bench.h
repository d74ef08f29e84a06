// Shared by the integration tests: a model dx/dt = A·x + F whose entries are compiled from host
// texts, the right-hand side that reads them, and a way to watch the times at which the
// methods evaluate it.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../formula/formula_test_support.h"
#include "integration/methods.h"
#include "integration/right_hand_side.h"
#include "integration/right_hand_side_plan.h"

namespace tessuvan::testing {

// Times seen by the recording step, in the order of evaluation.
inline std::vector<WorkingFloat>*& RecordedTimes()
{
    static std::vector<WorkingFloat>* times = nullptr;
    return times;
}

// A step routine that notes the value at its operand (the time cell) and leaves a term of 0
// for the formula's own first step to overwrite.
inline void RecordTime(const void* operand, StepAccumulator& acc)
{
    acc.operand = *static_cast<const WorkingFloat*>(operand);
    if (RecordedTimes() != nullptr) RecordedTimes()->push_back(acc.operand);
    acc.term = 0;
}

class ModelBench {
public:
    ModelBench() { RecordedTimes() = &times; }
    ~ModelBench()
    {
        RecordedTimes() = nullptr;
        plan.reset();
        for (auto& row : equations.AM)
            for (compilptr& f : row) FreeFormula(f);
        for (compilptr& f : equations.FM) FreeFormula(f);
    }
    ModelBench(const ModelBench&) = delete;
    ModelBench& operator=(const ModelBench&) = delete;

    void SetA(int i, int j, const std::string& text) { Install(equations.AM[i][j], text); }
    void SetF(int i, const std::string& text) { Install(equations.FM[i], text); }

    // From now on every evaluation of FM[i] notes CurrentTime in times; FM[i] keeps its value
    // (0 when it was absent). EvaluateFM evaluates FM[1..n] once per call, so with i = 1 the
    // record holds one time per call.
    void RecordTimesThrough(int i) { RecordThrough(i, &formulas.variables.CurrentTime); }

    // Likewise for any cell; the cell recorded last is noted first at each evaluation.
    void RecordThrough(int i, const WorkingFloat* cell)
    {
        compilptr& f = equations.FM[i];
        if (!FormulaPresent(f)) SetF(i, "0");
        ASSERT_LT(f->stop, kMaxSteps);
        std::copy_backward(f->fonction, f->fonction + f->stop, f->fonction + f->stop + 1);
        std::copy_backward(f->donnee, f->donnee + f->stop, f->donnee + f->stop + 1);
        f->fonction[0] = &RecordTime;
        f->donnee[0] = cell;
        f->stop = f->stop + 1;
    }

    FormulaVariables& variables() { return formulas.variables; }

    // The same equations through a plan for n species, as the drivers integrate them with fast
    // paths on (the methods then run their planned instantiations). Build it after the last
    // SetA or SetF; a formula recording times is not carried into a plan.
    RightHandSide Planned(int n)
    {
        plan = RightHandSidePlan::Build(equations, formulas.variables, n);
        EXPECT_NE(plan, nullptr);
        return RightHandSide{equations, formulas.variables, plan.get()};
    }

    FormulaBench formulas;
    PEquations equations;
    RightHandSide rhs{equations, formulas.variables};
    std::unique_ptr<RightHandSidePlan> plan;
    std::vector<WorkingFloat> times;

private:
    void Install(compilptr& slot, const std::string& text)
    {
        auto compiled = formulas.Compile(text);
        ASSERT_EQ(compiled->errors, 0) << text;
        FreeFormula(slot);
        slot = compiled->formula;
        compiled->formula = nullptr;
    }
};

// An amount vector with x1.. at the front and a recognisable pattern behind, so that entries
// beyond the species in use show whether they were carried over.
inline AmountVector Amounts(std::initializer_list<WorkingFloat> front)
{
    AmountVector v{};
    for (int i = 1; i <= kMaxSpecies; ++i) v[i] = 1000 + i;
    int i = 1;
    for (WorkingFloat x : front) v[i++] = x;
    return v;
}

// Relative distance, for comparisons "to rounding".
inline WorkingFloat RelativeError(WorkingFloat value, WorkingFloat expected)
{
    return std::fabs(value - expected) / std::fabs(expected);
}

// A few units in the last place of the working type.
inline WorkingFloat Ulps(int count) { return count * std::numeric_limits<WorkingFloat>::epsilon(); }

}  // namespace tessuvan::testing
