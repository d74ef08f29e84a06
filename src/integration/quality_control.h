// "RUNGE-KUTTA QC": classic steps with step-doubling error control. Every step is taken once
// whole and once as two halves; their difference d estimates the error of the halves, the
// halves are corrected by d/15 (local extrapolation) and the next length follows from
//   errmax = max_i |d_i / whole_i| / tol   (species with |whole_i| > 1e-130)
//   errmax > 1:  h·0.9·errmax^-0.25, retried if below h/10, else kept and the next h is h/10
//   errmax <= 1: h·0.9·errmax^-0.2, or 4·h when errmax <= 0.0006
#pragma once

#include "integration/right_hand_side.h"

namespace tessuvan {

// The state a quality-controlled integration starts from.
struct QualityControlStart {
    WorkingFloat h = 0;      // first step length (t1 - t0)·√tol
    WorkingFloat t = 0;      // t0
    AmountVector y{};        // accepted amounts: yin
    AmountVector half{};     // advanced by two half steps during an attempt: yin
    AmountVector whole{};    // advanced by one whole step during an attempt: yin
    int16_t err = 0;         // 1 tol <= 1e-130; 3 t0 >= t1 (wins over 1);
                             // 5 step length 0 or not a number
};

// Argument check and set-up.
QualityControlStart PrepareQualityControl(WorkingFloat t0, WorkingFloat t1, WorkingFloat tol,
                                          const AmountVector& yin);

}  // namespace tessuvan
