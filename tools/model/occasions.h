// Inter-occasion variability. A parameter with `iov = π²` varies, beside its η, by a κ drawn anew
// for every occasion: φ = h(k(θ) + η + κ_o), κ_o ~ N(0, π²) independent per occasion and per
// individual. The engine knows one value per parameter and individual, so each κ_{p,o} is a
// parameter of its own (fixed at 0 on the linear scale, its variance π²: to the estimation a
// random effect like any η) and the parameter is read, wherever a formula reads it, as
//     h(k(φ) + Σ_o κ_{p,o}·[OCC = o])
// with [OCC = o] an indicator computed from the occasion column on every row (1 on the rows of
// occasion o, 0 elsewhere), stepping at the first row of an occasion. On the log scale that is
// φ·exp(Σ_o κ_{p,o}·[OCC = o]). Every κ of a parameter shares one π², estimated once.
//
// The occasions are those met in the data set, so a model with iov is read twice: once to
// know its columns, and again with the occasions of the data set read by them
// (ExpandOccasions, data/derived_covariates.h).
#pragma once

#include <string>
#include <vector>

#include "model/model_file.h"

namespace tessuvan::cli {

// κ_{p,o}'s name: "CL_occ2".
std::string OccasionParameterName(const std::string& parameter, long occasion);

// The tree with every parameter that has an iov read as the header says (no change when the
// model has no occasions).
NodePtr WithOccasions(const NodePtr& tree, const Model& model);

}  // namespace tessuvan::cli
