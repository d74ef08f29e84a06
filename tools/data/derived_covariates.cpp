#include "data/derived_covariates.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "model/conditions.h"
#include "model/number_text.h"
#include "model/occasions.h"

namespace tessuvan::cli {

namespace {

// Reads `covariate` (1-based) anywhere in the tree.
bool ReadsCovariate(const Node& node, int covariate)
{
    if (node.kind == NodeKind::Name) return node.symbol.kind == SymbolKind::Covariate && node.symbol.index == covariate;
    return (node.left && ReadsCovariate(*node.left, covariate)) ||
           (node.right && ReadsCovariate(*node.right, covariate)) ||
           (node.third && ReadsCovariate(*node.third, covariate));
}

}  // namespace

void ExpandOccasions(Model& model, const DataSet& data)
{
    if (std::none_of(model.parameters.begin(), model.parameters.end(),
                     [](const ParameterSpec& parameter) { return parameter.iov > 0; }))
        return;
    std::size_t column = 0;
    while (column < model.covariates.size() && !model.covariates[column].occasion) ++column;
    if (column >= data.covariateColumns.size()) return;  // read without the model's columns
    std::set<long> met;
    for (const DataRow& row : data.rows) {
        const std::optional<double>& value = row.covariates[column];
        const std::string where = data.source + ":" + std::to_string(row.line) + ": " + model.occasionColumn;
        if (!value) throw DataError(where + ": no occasion on this row (every row of a model with iov needs one)");
        if (!(*value >= 0 && *value <= 1e6 && std::floor(*value) == *value))
            throw DataError(where + ": the occasion " + NumberText(*value) +
                            " is not a whole number from 0 to 1000000");
        met.insert(long(*value));
    }
    const Model before = model;
    model = ParseModel(before.text, before.source, std::vector<long>(met.begin(), met.end()));
    // What the caller set after reading the file (a simulation fixes every parameter).
    model.fit = before.fit;
    for (std::size_t p = 0; p < before.parameters.size(); ++p) {
        model.parameters[p].estimate = before.parameters[p].estimate;
        model.parameters[p].value = before.parameters[p].value;
    }
    const int occasion = int(column + 1);
    for (CovariateSpec& covariate : model.covariates)
        if (covariate.derived && ReadsCovariate(*covariate.derived, occasion)) covariate.occasion = true;
}

void AddDerivedCovariates(Model& model, DataSet& data)
{
    ExpandOccasions(model, data);
    for (const CovariateSpec& covariate : model.covariates) {
        if (!covariate.derived) continue;
        data.covariateColumns.push_back(covariate.name);
        for (DataRow& row : data.rows) {
            const std::optional<double> value = EvaluateData(*covariate.derived, row.covariates);
            if (value && !std::isfinite(*value))
                throw DataError(data.source + ":" + std::to_string(row.line) + ": " + covariate.name +
                                " is not a finite number on this row (the covariates it reads give " +
                                std::to_string(*value) + ")");
            row.covariates.push_back(value);
        }
    }
}

}  // namespace tessuvan::cli
