// The population model's part of results.json: "theta", "omega" and "sigma", written by the
// report of a fit and read back by the runs that simulate from a fit (simulate --from, vpc).
//
//   "theta": { "<name>": {"value": v, "se": s, "rse_percent": r, "fixed": false}, ... },
//   "omega": { "<name>": {"variance": ω², "sd": ω, "se": s, "cv_percent": c, "fixed": false}, ... },
// with "scale": "linear" | "logit" after "fixed" for a θ or an η not on the log scale (its
// ω² the variance of η on that scale; cv_percent, which is of a log-normal, null),
//   "sigma": { "additive" | "proportional" | "exponential": {"value": v, "se": s, "fixed": false} }
// or, with an error model per output, "sigma": { "<output>": { "additive": {...}, ... }, ... }
//
// and, for an Ω with blocks, the whole matrix (row by row, the se of each covariance):
//   "omega_matrix": {"names": [...], "covariance": [[...], ...], "correlation": [[...], ...],
//                    "se": [[...], ...]}
//
// Numbers are written with 10 significant digits (null when not finite), one entry a line
// (population/json_text.h).
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "population/json_text.h"
#include "population/population_model.h"

namespace tessuvan::population {

// An estimate with its standard error (NaN when the covariance step gave none).
struct Estimated {
    std::string name;
    double value = 0;
    double se = 0;
    bool fixed = false;
    Scale scale = Scale::Log;  // of a θ: where it was searched; of an ω²: where its η adds
};

// Log-normal variability: CV = √(exp(ω²) − 1), in %.
inline double CvPercent(double variance) { return 100.0 * std::sqrt(std::expm1(variance)); }

// The 95 % interval of an estimate searched on its scale, k(x) ± 1.96·SE/h'(k(x)) carried back
// by h (log: [x·exp(−1.96·SE/x), x·exp(1.96·SE/x)]; linear: x ± 1.96·SE; logit: within (0, 1));
// false without a standard error or a value on the scale.
inline bool Interval95(const Estimated& e, double& low, double& high)
{
    const double slope = ScaleSlope(e.scale, e.value);
    const double half = 1.959963984540054 * e.se / slope;
    if (!std::isfinite(half) || !(slope > 0)) return false;
    if (e.scale == Scale::Log) {
        low = e.value * std::exp(-half);
        high = e.value * std::exp(half);
        return true;
    }
    const double centre = ToScale(e.scale, e.value);
    low = FromScale(e.scale, centre - half);
    high = FromScale(e.scale, centre + half);
    return true;
}

// The three members "theta", "omega" and "sigma" set in `results`, in this order (a value
// that is not finite, such as a standard error the covariance step did not give, is written
// null by JsonText).
void AddPopulationMembers(nlohmann::ordered_json& results, const std::vector<Estimated>& theta,
                          const std::vector<Estimated>& omega, const std::vector<Estimated>& sigma);

// The whole Ω of a fit with blocks, each covariance with its standard error (NaN where none:
// fixed, or between independent η).
struct EstimatedOmega {
    std::vector<std::string> names;  // of the η, in Ω's order
    Eigen::MatrixXd covariance, se;
    bool Empty() const { return names.empty(); }
};

// "omega_matrix" set in `results`; nothing for an Ω without blocks (omega empty).
void AddOmegaMatrix(nlohmann::ordered_json& results, const EstimatedOmega& omega);

// "iov": { "<parameter>": {"variance": π², "sd": π, "se": s}, ... } of the parameters with
// inter-occasion variability; nothing without them.
void AddOccasionVariances(nlohmann::ordered_json& results, const std::vector<Estimated>& iov);

class PopulationJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The estimates read back, each member in the order nlohmann::json keeps them (by name).
struct PopulationValues {
    std::vector<std::pair<std::string, double>> theta;  // typical values
    std::vector<std::pair<std::string, double>> omega;  // variances
    std::vector<std::pair<std::string, double>> sigma;  // "additive" and/or "proportional", or "exponential";
                                                        // "OUTPUT:additive", ... per output
    EstimatedOmega omegaMatrix;                         // names and covariance; empty when not written
    std::vector<std::pair<std::string, double>> iov;    // π² by parameter; empty when not written
};

// Throws PopulationJsonError ("results.json: theta.CL.value is not a number", ...).
PopulationValues ReadPopulationJson(const nlohmann::json& results);

}  // namespace tessuvan::population
