// The population model's part of results.json: "theta", "omega" and "sigma", written by the
// report of a fit and read back by the runs that simulate from a fit (simulate --from, vpc).
//
//   "theta": { "<name>": {"value": v, "se": s, "rse_percent": r, "fixed": false}, ... },
//   "omega": { "<name>": {"variance": ω², "sd": ω, "se": s, "cv_percent": c, "fixed": false}, ... },
//   "sigma": { "additive" | "proportional": {"value": v, "se": s, "fixed": false} }
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
};

// Log-normal variability: CV = √(exp(ω²) − 1), in %.
inline double CvPercent(double variance) { return 100.0 * std::sqrt(std::expm1(variance)); }

// The three members "theta", "omega" and "sigma" set in `results`, in this order (a value
// that is not finite, such as a standard error the covariance step did not give, is written
// null by JsonText).
void AddPopulationMembers(nlohmann::ordered_json& results, const std::vector<Estimated>& theta,
                          const std::vector<Estimated>& omega, const std::vector<Estimated>& sigma);

class PopulationJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The estimates read back, each member in the order nlohmann::json keeps them (by name).
struct PopulationValues {
    std::vector<std::pair<std::string, double>> theta;  // typical values
    std::vector<std::pair<std::string, double>> omega;  // variances
    std::vector<std::pair<std::string, double>> sigma;  // "additive" and/or "proportional"
};

// Throws PopulationJsonError ("results.json: theta.CL.value is not a number", ...).
PopulationValues ReadPopulationJson(const nlohmann::json& results);

}  // namespace tessuvan::population
