// "CHU-BERMAN": an adaptive exponential method for dx/dt = A(t, x)·x + F(t, x). Each step
// freezes A0 = A(t, Y) and F0 = F(t, Y), integrates the diagonal of the frozen linear system
// exactly through exponential weights (a fast first-order loss does not by itself force small
// steps), and adds corrections for the coupling between species and for the change of A and F
// along the step, sampled by two more evaluations of the right-hand side. The size of the
// last correction relative to the amounts is the error measure that accepts a step or halves it.
#pragma once

#include "integration/right_hand_side.h"

namespace tessuvan {

// Per species i, with a = A0[i][i]:
//   q = (e^(ah) - 1)/a,   r = (e^(ah) - 1 - ah)/a²,   s = (e^(ah) - 1 - ah - (ah)²/2)/a³
// formed as q = (exp(a·h) - 1)/a, r = (q - h)/a, s = (r - h·h/2)/a; when |a| < 1e-7 or
// |a·h| < 1e-7 their series limits h, h²/2, h³/6 instead. Entries 1..n are written.
void ExponentialWeights(int n, WorkingFloat h, const ModelMatrix& A0, AmountVector& q, AmountVector& r,
                        AmountVector& s);

// R := A(t, X)·X - A0·X + F(t, X) - F0 over 1..n, combined in that order: what the true
// right-hand side adds to the linear model frozen at the start of the step (zero there).
void LinearizationRemainder(const RightHandSide& rhs, int n, WorkingFloat t, AmountVector X, const ModelMatrix& A0,
                            AmountVector F0, AmountVector& R);

}  // namespace tessuvan
