// The population model's part of results.json: "theta", "omega" and "sigma", written by the
// report of a fit and read back by the runs that simulate from a fit (simulate --from, vpc).
//
//   "theta": { "<name>": {"value": v, "se": s, "rse_percent": r, "fixed": false}, ... },
//   "omega": { "<name>": {"variance": ω², "sd": ω, "se": s, "cv_percent": c, "fixed": false}, ... },
//   "sigma": { "additive" | "proportional": {"value": v, "se": s, "fixed": false} }
//
// and, for an Ω with blocks, the whole matrix (row by row, the se of each covariance):
//   "omega_matrix": {"names": [...], "covariance": [[...], ...], "correlation": [[...], ...],
//                    "se": [[...], ...]}
//
// Numbers are written with 10 significant digits (null when not finite), one entry a line.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "population/population_model.h"

namespace tessuvan::population {

// An estimate with its standard error (NaN when the covariance step gave none).
struct Estimated {
    std::string name;
    double value = 0;
    double se = 0;
    bool fixed = false;
};

// The whole Ω of a fit with blocks, each covariance with its standard error (NaN where none:
// fixed, or between independent η).
struct EstimatedOmega {
    std::vector<std::string> names;  // of the η, in Ω's order
    Eigen::MatrixXd covariance, se;
    bool Empty() const { return names.empty(); }
};

// Log-normal variability: CV = √(exp(ω²) − 1), in %.
inline double CvPercent(double variance) { return 100.0 * std::sqrt(std::expm1(variance)); }

std::string JsonNumber(double value);             // 10 significant digits; null when not finite
std::string JsonString(const std::string& text);  // quoted, escaped

// The three members, from `  "theta": {` to the `  },` closing "sigma" and its line break.
std::string PopulationJsonMembers(const std::vector<Estimated>& theta, const std::vector<Estimated>& omega,
                                  const std::vector<Estimated>& sigma);

// `  "omega_matrix": {...},` and its line break; empty for an Ω without blocks.
std::string OmegaMatrixJsonMember(const EstimatedOmega& omega);

class PopulationJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The estimates read back, each member in the order nlohmann::json keeps them (by name).
struct PopulationValues {
    std::vector<std::pair<std::string, double>> theta;  // typical values
    std::vector<std::pair<std::string, double>> omega;  // variances
    std::vector<std::pair<std::string, double>> sigma;  // "additive" and/or "proportional"
    EstimatedOmega omegaMatrix;                         // names and covariance; empty when not written
};

// Throws PopulationJsonError ("results.json: theta.CL.value is not a number", ...).
PopulationValues ReadPopulationJson(const nlohmann::json& results);

}  // namespace tessuvan::population
