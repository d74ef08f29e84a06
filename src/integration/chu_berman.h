// "CHU-BERMAN": an adaptive exponential method for dx/dt = A(t, x)·x + F(t, x). Each step
// freezes A0 = A(t, Y) and F0 = F(t, Y), integrates the diagonal of the frozen linear system
// exactly through exponential weights (a fast first-order loss does not by itself force small
// steps), and adds corrections for the coupling between species and for the change of A and F
// along the step, sampled by two more evaluations of the right-hand side. The size of the
// last correction relative to the amounts is the error measure that accepts a step or halves it.
//
// The two pieces of a step, generic over the coefficient source and the species count
// (coefficients.h); the interval loop is in chu_berman.cpp.
#pragma once

#include <cmath>

#include "integration/coefficients.h"

namespace tessuvan {

// Below this |a| or |a·h| the closed forms of the weights lose every digit to cancellation.
inline constexpr WorkingFloat kSeriesThreshold = TESSUVAN_WF(1e-7);

// Per species i, with a = A0[i][i]:
//   q = (e^(ah) - 1)/a,   r = (e^(ah) - 1 - ah)/a²,   s = (e^(ah) - 1 - ah - (ah)²/2)/a³
// formed as q = (exp(a·h) - 1)/a, r = (q - h)/a, s = (r - h·h/2)/a; when |a| < 1e-7 or
// |a·h| < 1e-7 their series limits h, h²/2, h³/6 instead. Entries 1..n are written.
template <class Size, class Matrix, class Vector>
inline void ExponentialWeights(Size size, WorkingFloat h, const Matrix& A0, Vector& q, Vector& r, Vector& s)
{
    const int n = size.Count();
#pragma GCC unroll 4
    for (int i = 1; i <= n; ++i) {
        const WorkingFloat a = A0[i][i];
        if (std::fabs(a) < kSeriesThreshold || std::fabs(a * h) < kSeriesThreshold) {
            q[i] = h;
            r[i] = q[i] * h / 2;
            s[i] = r[i] * h / 3;
        } else {
            q[i] = (std::exp(a * h) - 1) / a;
            r[i] = (q[i] - h) / a;
            s[i] = (r[i] - h * h * WorkingFloat(0.5)) / a;
        }
    }
}

inline bool IsPositiveZero(WorkingFloat v) { return v == 0 && !std::signbit(v); }

// R := A(t, X)·X - A0·X + F(t, X) - F0 over 1..n, combined in that order: what the true
// right-hand side adds to the linear model c0 frozen at the start of the step (zero there).
// c receives A(t, X) and F(t, X); a source whose coefficients cannot vary passes c0 itself.
template <class Source, class Size, class Point, class Vector>
inline void LinearizationRemainder(const Source& source, Size size, Coefficients<Size>& c, WorkingFloat t,
                                   const Point& x, const Coefficients<Size>& c0, Vector& R)
{
    const int n = size.Count();
    SpeciesVector<Size> AX, A0X;
    source.At(size, t, x, c);
    Product(size, c.A, x, AX);
    if constexpr (Source::kVarying) {
        Product(size, c0.A, x, A0X);
        for (int i = 1; i <= n; ++i) R[i] = AX[i] - A0X[i] + c.F[i] - c0.F[i];
    } else {
        // A(t, X) and F(t, X) are A0 and F0 to the bit, so A0·X would repeat the same operations
        // on the same operands. AX - AX is +0, or a not-a-number when AX is not finite; adding
        // and subtracting an absent free term (+0) gives either back unchanged (v + 0 = v for
        // every v but -0, v - 0 = v), so those two operations, which lengthen the chain a step
        // waits on, are left out.
        for (int i = 1; i <= n; ++i) {
            const WorkingFloat sameTwice = AX[i] - AX[i];
            R[i] = IsPositiveZero(c0.F[i]) ? sameTwice : sameTwice + c0.F[i] - c0.F[i];
        }
    }
}

}  // namespace tessuvan
