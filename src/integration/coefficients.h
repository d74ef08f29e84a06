// Where the methods take the coefficients A(t, x) and F(t, x) from, and how many species they
// loop over. Every method's step and interval loop is written once, as a template over
//
//   a coefficient source   FormulaCoefficients: the compiled formulas, evaluated through
//                          EvaluateFM and EvaluateAM at every call (the plain path);
//                          PlannedCoefficients: the plan of the equations
//                          (right_hand_side_plan.h), fixed entries evaluated once per
//                          interval, varying ones at every call, absent ones never;
//   a species count        Fixed<N> for up to four species, a compile-time trip count that
//                          lets the compiler unroll the loops and keep amounts, stages and
//                          coefficients in registers; AnyCount otherwise.
//
// WithCoefficients picks the pair for one interval. Both sources give the same values from
// the same cells, and the loops combine them in the same order whichever pair runs, so every
// pair ends with the same amounts and codes to the last bit.
//
// A source has
//   kVarying           false when A and F cannot change within the interval (no entry reads
//                      the time or an amount): loaded once by Begin, At does nothing;
//   Begin(size, c)     once at the start of the interval, before any At;
//   At(size, t, x, c)  c := A(t, x) and F(t, x) over the leading n-by-n block and 1..n; a
//                      formula reading a species beyond n sees x there.
#pragma once

#include <array>

#include "integration/right_hand_side.h"
#include "integration/right_hand_side_plan.h"

namespace tessuvan {

template <int N>
struct Fixed {
    static constexpr int kCapacity = N;
    static constexpr int Count() { return N; }
};
struct AnyCount {
    static constexpr int kCapacity = kMaxSpecies;
    int n;
    int Count() const { return n; }
};

// A vector over species 1..n, 1-based and sized by the largest count the Size allows: an
// AmountVector for AnyCount, N + 1 entries for Fixed<N>, which the compiler can keep in
// registers where a 21-entry array would live in memory.
template <class Size>
using SpeciesVector = std::array<WorkingFloat, Size::kCapacity + 1>;

// A and F, 1-based and sized by the largest count the Size allows; for AnyCount they are a
// ModelMatrix and an AmountVector.
template <class Size>
struct Coefficients {
    using Row = SpeciesVector<Size>;
    std::array<Row, Size::kCapacity + 1> A;
    Row F;
};

// y := M·x over 1..n, each row summed left to right (MatrixTimesVector).
template <class Size, class Matrix, class X, class Y>
inline void Product(Size size, const Matrix& M, const X& x, Y& y)
{
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) {
        WorkingFloat sum = M[i][1] * x[1];
        for (int j = 2; j <= n; ++j) sum = sum + M[i][j] * x[j];
        y[i] = sum;
    }
}

// dx := A·x + F over 1..n, the product formed first (MatrixTimesVectorPlus).
template <class Size, class X, class Y>
inline void Derivative(Size size, const Coefficients<Size>& c, const X& x, Y& dx)
{
    Product(size, c.A, x, dx);
    const int n = size.Count();
    for (int i = 1; i <= n; ++i) dx[i] = dx[i] + c.F[i];
}

class FormulaCoefficients {
public:
    static constexpr bool kVarying = true;

    explicit FormulaCoefficients(const RightHandSide& rhs) : rhs_(rhs) {}
    void Begin(AnyCount, Coefficients<AnyCount>&) const {}
    void At(AnyCount size, WorkingFloat t, const AmountVector& x, Coefficients<AnyCount>& c) const
    {
        EvaluateFM(rhs_, size.Count(), t, x, c.F);
        EvaluateAM(rhs_, size.Count(), t, x, c.A);
    }

private:
    const RightHandSide& rhs_;
};

template <bool kAnyVarying>
class PlannedCoefficients {
public:
    static constexpr bool kVarying = kAnyVarying;

    // plan has been prepared for the interval (RightHandSidePlan::PrepareInterval).
    explicit PlannedCoefficients(RightHandSidePlan& plan) : plan_(plan) {}
    template <class Size>
    void Begin(Size size, Coefficients<Size>& c) const
    {
        if constexpr (!kVarying) Load(size, c);
    }
    template <class Size, class X>
    void At(Size size, WorkingFloat t, const X& x, Coefficients<Size>& c) const
    {
        if constexpr (kVarying) {
            plan_.AtPoint(t, x);
            Load(size, c);
        }
    }

private:
    template <class Size>
    void Load(Size size, Coefficients<Size>& c) const
    {
        const int n = size.Count();
        const ModelMatrix& A = plan_.Matrix();
        const AmountVector& F = plan_.FreeTerms();
        for (int i = 1; i <= n; ++i) {
            for (int j = 1; j <= n; ++j) c.A[i][j] = A[i][j];
            c.F[i] = F[i];
        }
    }

    RightHandSidePlan& plan_;
};

// Calls body(source, size) for one interval on rhs with n species: the plan when rhs has one
// that serves n, split by whether any entry varies and with the count at compile time up to
// four; the compiled formulas with the count at run time otherwise.
template <class Body>
inline void WithCoefficients(const RightHandSide& rhs, int n, Body&& body)
{
    if (rhs.plan == nullptr || !rhs.plan->Serves(n)) {
        FormulaCoefficients formulas(rhs);
        body(formulas, AnyCount{n});
        return;
    }
    RightHandSidePlan& plan = *rhs.plan;
    plan.PrepareInterval();
    auto withCount = [&](auto& source) {
        switch (n) {
            case 1: body(source, Fixed<1>{}); break;
            case 2: body(source, Fixed<2>{}); break;
            case 3: body(source, Fixed<3>{}); break;
            case 4: body(source, Fixed<4>{}); break;
            default: body(source, AnyCount{n}); break;
        }
    };
    if (plan.HasVarying()) {
        PlannedCoefficients<true> planned(plan);
        withCount(planned);
    } else {
        PlannedCoefficients<false> planned(plan);
        withCount(planned);
    }
}

}  // namespace tessuvan
