// A regimen proposed for a patient and the exposure it aims at.
//
// The regimen: N doses of one amount every II from a start time, each a bolus or an infusion
// of a given duration, into one compartment; at steady state (SS = 1 on its first dose) the
// patient's history is replaced by the steady state of the regimen's doses. A loading dose
// makes the first of the N doses larger: a given amount, or a given multiple of the others
// (the accumulation ratio of `dose --loading auto`).
// Targets: the trough, the concentration just before the last of the N doses; the peak, at the
// end of the last dose's infusion (just after a bolus) or at a given time; AUC24, the area
// under the concentration over the last 24 h of the regimen, [start + N·II − 24, start + N·II].
// Each is a weighted sum of predictions at rows added to the patient's: one row of weight 1
// for a trough or a peak; for AUC24 the nodes of 5-point Gauss–Legendre quadrature on every
// stretch of at most 1 h between the doses' starts and ends (where the concentration bends),
// which integrates each smooth stretch to about 1e-10 of its area and never asks for a value
// at a dose's own instant.
//
// The dose: the amount whose forecast exposure (at the patient's MAP η) is the target (the
// middle of a range), found by regula falsi with the Illinois modification on [lowest,
// highest] (one step for a linear model, whose exposure is affine in the amount).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "forecast/patient_engine.h"

namespace tessuvan::forecast {

struct Regimen {
    double interval = 0;  // II, in the data set's time units
    int doses = 0;        // N
    double start = 0;     // the first dose's time
    double infusion = 0;  // each dose's duration, 0 a bolus
    int cmt = 0;          // the compartment dosed (0: the first)
    bool steadyState = false;
    double loading = 0;       // the first dose's amount (0: that of the others)
    double loadingRatio = 0;  // or the first dose this multiple of the others' (0: none)
    double FirstAmount(double amount) const
    {
        return loading > 0 ? loading : loadingRatio > 0 ? loadingRatio * amount : amount;
    }
    double End() const { return start + doses * interval; }
    double LastDose() const { return start + (doses - 1) * interval; }
};

enum class TargetKind { Trough, Peak, Auc24 };
const char* TargetName(TargetKind kind);

struct Target {
    TargetKind kind = TargetKind::Trough;
    double low = 0, high = 0;  // a value: low == high
    double at = -1;            // a peak at this time (−1: at the end of the last dose)
    bool Range() const { return high > low; }
    double Aim() const { return 0.5 * (low + high); }
    // Whether an exposure attains it: within [low, high] for a range, at least the value else.
    bool Attained(double exposure) const { return Range() ? exposure >= low && exposure <= high : exposure >= low; }
};

// The regimen's doses of `amount`, and the rows that measure the target with their weights.
struct ExposureRows {
    std::vector<AddedRow> rows;
    std::vector<std::size_t> measured;  // indices into rows
    std::vector<double> weights;
};
// `outputCmt`: the CMT of the predictions' output (0: the first output).
ExposureRows ExposureRowsOf(const Regimen& regimen, const Target& target, double amount, int outputCmt);

// The exposure from the predictions of a PatientEngine built on ExposureRowsOf's rows.
double ExposureOf(const ExposureRows& design, const std::vector<PredictedRow>& rows, const Eigen::VectorXd& f);

// Solves exposure(amount) = aim on [lowest, highest]; exposure increasing. Throws
// std::domain_error naming the bound whose exposure is already beyond the aim.
struct DoseSolution {
    double amount = 0;
    double exposure = 0;  // at amount
    int evaluations = 0;
};
DoseSolution SolveDose(const std::function<double(double)>& exposure, double aim, double lowest, double highest,
                       const std::string& targetText);

// Rounded to a multiple of `step` (0: as it is), kept within the bounds.
double RoundDose(double amount, double step, double lowest, double highest);

}  // namespace tessuvan::forecast
