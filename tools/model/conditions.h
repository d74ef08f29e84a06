// Comparisons, `and`, `or`, `not` and `if(condition, a, b)` in formulas. The engine's formula
// language has none of them, so the tool evaluates them itself wherever they read only data:
// a part of a formula that reads only covariates and numbers and holds a comparison or an
// `if` becomes a covariate of its own, computed on every row of the data set from the
// covariates of that row (per individual, or per record where they change) and handed to the
// engine as a plain value; an `if` whose condition is such a part and whose branches read
// anything else becomes c·a + (1 − c)·b with c that covariate, 1 or 0 (exact: 1·a = a, 0·b = 0,
// a + 0 = a). A condition that reads a parameter, an amount, a P parameter or the time would
// change within a run where the engine cannot follow it, and is refused.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/expression.h"
#include "model/model_file.h"

namespace tessuvan::cli {

// A condition that cannot be evaluated from the data.
class ConditionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The parts of formulas computed from covariates: `trees[k]` is covariate number first + k
// (1-based, as Symbol::index), named `names[k]` (the formula as read).
struct DerivedCovariates {
    int first = 1;
    std::vector<NodePtr> trees;
    std::vector<std::string> names;
};

// True when the tree holds a comparison, a logical operator or an `if`.
bool HasCondition(const Node& node);

// The tree with every condition lowered as the header says; a part met before (the same text)
// is the same covariate. Throws ConditionError naming what a condition may not read.
NodePtr LowerConditions(const NodePtr& tree, DerivedCovariates& derived);

// LowerConditions with the model's derived covariates, which follow those read from the data:
// new ones are added to model.covariates; at most `capacity` covariates in all.
NodePtr LowerIntoModel(const NodePtr& tree, Model& model, int capacity);

// The formula as text in the model file's syntax, fully parenthesised (no commas: an `if`
// prints as "if(c then a else b)").
std::string FormulaText(const Node& node);

// The value of a tree that reads only covariates and numbers, from the covariates' values
// (covariate q at [q − 1]); none when a value it reads is missing. True is 1, false 0.
std::optional<double> EvaluateData(const Node& node, const std::vector<std::optional<double>>& covariates);

}  // namespace tessuvan::cli
