#include "forecast/dosing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "fmt/format.h"

namespace tessuvan::forecast {

namespace {

// The nodes and weights of 5-point Gauss–Legendre quadrature on [−1, 1].
constexpr double kNodes[5] = {-0.9061798459386640, -0.5384693101056831, 0.0, 0.5384693101056831, 0.9061798459386640};
constexpr double kWeights[5] = {0.2369268850561891, 0.4786286704993665, 0.5688888888888889, 0.4786286704993665,
                                0.2369268850561891};
constexpr double kLongestStretch = 1.0;  // h, of AUC24's quadrature

}  // namespace

const char* TargetName(TargetKind kind)
{
    switch (kind) {
        case TargetKind::Trough:
            return "trough";
        case TargetKind::Peak:
            return "peak";
        case TargetKind::Auc24:
            return "auc24";
    }
    return "";
}

ExposureRows ExposureRowsOf(const Regimen& regimen, const Target& target, double amount, int outputCmt)
{
    ExposureRows design;
    for (int d = 0; d < regimen.doses; ++d) {
        AddedRow dose;
        dose.time = regimen.start + d * regimen.interval;
        dose.dose = true;
        dose.amount = d == 0 ? regimen.FirstAmount(amount) : amount;
        dose.duration = regimen.infusion;
        dose.cmt = regimen.cmt;
        if (d == 0 && regimen.steadyState) {
            dose.steadyState = 1;
            dose.interval = regimen.interval;
        }
        design.rows.push_back(dose);
    }
    const auto measure = [&](double time, double weight, bool before) {
        AddedRow row;
        row.time = time;
        row.cmt = outputCmt;
        row.beforeSameTime = before;
        design.measured.push_back(design.rows.size());
        design.weights.push_back(weight);
        design.rows.push_back(row);
    };
    switch (target.kind) {
        case TargetKind::Trough:
            measure(regimen.LastDose(), 1, true);
            break;
        case TargetKind::Peak:
            measure(target.at >= 0 ? target.at : regimen.LastDose() + regimen.infusion, 1, false);
            break;
        case TargetKind::Auc24: {
            const double to = regimen.End(), from = to - 24;
            std::vector<double> breaks{from, to};
            for (int d = 0; d < regimen.doses; ++d)
                for (const double t :
                     {regimen.start + d * regimen.interval, regimen.start + d * regimen.interval + regimen.infusion})
                    if (t > from && t < to) breaks.push_back(t);
            std::sort(breaks.begin(), breaks.end());
            breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
            for (std::size_t b = 0; b + 1 < breaks.size(); ++b) {
                const int pieces = std::max(1, int(std::ceil((breaks[b + 1] - breaks[b]) / kLongestStretch - 1e-9)));
                const double width = (breaks[b + 1] - breaks[b]) / pieces;
                for (int k = 0; k < pieces; ++k) {
                    const double middle = breaks[b] + (k + 0.5) * width;
                    for (int n = 0; n < 5; ++n)
                        measure(middle + 0.5 * width * kNodes[n], 0.5 * width * kWeights[n], false);
                }
            }
            break;
        }
    }
    return design;
}

double ExposureOf(const ExposureRows& design, const std::vector<PredictedRow>& rows, const Eigen::VectorXd& f)
{
    double exposure = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].added < 0) continue;
        const auto at = std::find(design.measured.begin(), design.measured.end(), std::size_t(rows[r].added));
        if (at != design.measured.end())
            exposure += design.weights[std::size_t(at - design.measured.begin())] * f[Eigen::Index(r)];
    }
    return exposure;
}

DoseSolution SolveDose(const std::function<double(double)>& exposure, double aim, double lowest, double highest,
                       const std::string& targetText)
{
    DoseSolution solution;
    double a = lowest, b = highest;
    double fa = exposure(a) - aim, fb = exposure(b) - aim;
    solution.evaluations = 2;
    if (fa > 0)
        throw std::domain_error(
            fmt::format("--target {}: even the lowest dose (--min-dose {:g}) gives {:.6g}, above it", targetText,
                        lowest, fa + aim));
    if (fb < 0)
        throw std::domain_error(fmt::format("--target {}: not reached within --max-dose {:g} (which gives {:.6g})",
                                            targetText, highest, fb + aim));
    if (fa == 0) return {a, aim, solution.evaluations};
    if (fb == 0) return {b, aim, solution.evaluations};
    int side = 0;
    double c = a, fc = fa;
    for (int iteration = 0; iteration < 100; ++iteration) {
        c = (a * fb - b * fa) / (fb - fa);
        fc = exposure(c) - aim;
        ++solution.evaluations;
        if (std::abs(fc) <= 1e-10 * std::abs(aim) || std::abs(b - a) <= 1e-12 * std::abs(b)) break;
        if ((fc > 0) == (fb > 0)) {
            b = c;
            fb = fc;
            if (side == -1) fa *= 0.5;  // Illinois: the end kept twice has its value halved
            side = -1;
        } else {
            a = c;
            fa = fc;
            if (side == 1) fb *= 0.5;
            side = 1;
        }
    }
    solution.amount = c;
    solution.exposure = fc + aim;
    return solution;
}

double RoundDose(double amount, double step, double lowest, double highest)
{
    if (!(step > 0)) return amount;
    double rounded = std::round(amount / step) * step;
    if (rounded > highest) rounded = std::floor(highest / step) * step;
    if (rounded < lowest) rounded = std::ceil(lowest / step) * step;
    return std::clamp(rounded, lowest, highest);
}

}  // namespace tessuvan::forecast
