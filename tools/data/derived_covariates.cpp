#include "data/derived_covariates.h"

#include <cmath>

#include "model/conditions.h"
#include "model/occasions.h"

namespace tessuvan::cli {

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
