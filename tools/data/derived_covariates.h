// The covariates a model computes from others (model/conditions.h): their values on every row
// of the data set, after the columns it reads.
#pragma once

#include "data/data_set.h"
#include "model/model_file.h"

namespace tessuvan::cli {

// Appends each derived covariate of the model to every row (missing where a covariate it
// reads is missing on that row, and then filled as any covariate is) and its formula to
// covariateColumns. A value that is not finite (log of 0, a division by 0) is a DataError
// naming the row and the formula. A model with iov is first read again with the occasions of
// the data set (model/occasions.h).
void AddDerivedCovariates(Model& model, DataSet& data);

// The model read again with the occasions of the data set (whole numbers of 0 or more on every
// row, else a DataError naming the line), keeping the estimates and settings already changed
// in `model` by the caller; no change without iov. AddDerivedCovariates calls it first.
void ExpandOccasions(Model& model, const DataSet& data);

}  // namespace tessuvan::cli
