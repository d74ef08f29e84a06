// Splits the rate of one compartment, d(x_s)/dt = expression, into the engine's form
//   d(x_s)/dt = sum over e of A[s][e] · x_e  +  F[s]
// Terms linear in one compartment (a coefficient that reads no compartment, times that
// compartment's amount) go to the matrix, so that a method which treats the linear part
// exactly (the diagonal in CHU-BERMAN) sees it; every other term goes to F.
//
// The expression is expanded only where compartments are: a sub-expression that reads no
// compartment stays one factor, as written (k*(a+b)*x keeps (a+b) whole); a product or
// quotient is distributed over a sum that reads compartments ((x+y)*k gives x*k + y*k);
// a quotient whose divisor reads a compartment, a product of two compartment-reading factors,
// powers and functions of compartments are nonlinear terms.
#pragma once

#include <vector>

#include "model/expression.h"

namespace tessuvan::cli {

struct SplitRate {
    std::vector<NodePtr> matrix;  // [e - 1]: coefficient of compartment e, or null when none
    NodePtr free;                 // the rest, or null when nothing is left
};

SplitRate SplitIntoMatrixAndFree(const NodePtr& rate, int compartmentCount);

}  // namespace tessuvan::cli
