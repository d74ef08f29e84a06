// The estimated population parameters as one vector, in the two coordinates of the outer search:
// the logarithms u (ln θ, ln ω², ln a, ln b of those not fixed, in that order), in which the
// gradient of −2LL is taken, and the quasi-Newton's own s (the same, but ω = √ω², the Cholesky
// factor of a 1×1 block of Ω, for a variance). Shared by every method that estimates θ, Ω and
// the residual error.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "estimation/focei.h"

namespace tessuvan::estimation::internal {

constexpr double kVarianceFloor = 1e-7;  // the smallest ω² searched: no variability found

class Packing {
public:
    enum class Kind { Theta, Omega, Additive, Proportional };

    explicit Packing(const FoceiProblem& problem);

    std::size_t Size() const { return kinds_.size(); }
    Kind KindOf(std::size_t k) const { return kinds_[k]; }
    std::size_t IndexOf(std::size_t k) const { return index_[k]; }
    const std::vector<std::string>& Names() const { return names_; }
    const std::vector<double>& Start() const { return start_; }
    // A variance or a proportional error: its lower bound is "none", not an edge of the search.
    bool FloorIsZero(std::size_t k) const { return kinds_[k] == Kind::Omega || kinds_[k] == Kind::Proportional; }

    // ln θ of every θ, ω² of every η and the residual error at x (the fixed ones at their values).
    void Unpack(const std::vector<double>& x, Eigen::VectorXd& logTheta, Eigen::VectorXd& omega,
                ResidualError& error) const;

    // Near ω² = 0, −2LL ≈ c + α·ω², which in u = ln ω² is c + α·e^u: its Newton step is −1
    // whatever ω², so a variance with no support in the data would creep down to its floor one
    // factor e per iteration (ten iterations from 1e-3 to 1e-7), where in ω the same −2LL is a
    // parabola whose step reaches the floor at once.
    double ToLog(std::size_t k, double s) const { return kinds_[k] == Kind::Omega ? 2 * std::log(s) : s; }
    double ToSearch(std::size_t k, double u) const { return kinds_[k] == Kind::Omega ? std::exp(0.5 * u) : u; }
    double LogPerSearch(std::size_t k, double s) const { return kinds_[k] == Kind::Omega ? 2 / s : 1.0; }
    std::vector<double> ToLog(const std::vector<double>& s) const;
    std::vector<double> ToSearch(const std::vector<double>& u) const;

    // Bounds of the search around the start, in its coordinates: a typical value within a
    // factor e³ ≈ 20 of its start, so that the quasi-Newton's first steps (as long as the
    // gradient is large) cannot reach parameters so stiff that a simulation takes the engine's
    // ceiling of steps; a variance ω² within [1e-7, 25].
    void Bounds(std::vector<double>& low, std::vector<double>& high) const;

private:
    void Add(Kind kind, std::size_t index, const std::string& name, double value);
    const FoceiProblem& problem_;
    std::vector<Kind> kinds_;
    std::vector<std::size_t> index_;
    std::vector<std::string> names_;
    std::vector<double> start_;
};

// The estimates on the natural scale with their standard errors from those of the log
// parameters (seLog, in the packing's order; NaN where none): θ, ω² per η, then σ.
void NaturalEstimates(const FoceiProblem& problem, const Eigen::VectorXd& logTheta, const Eigen::VectorXd& omega,
                      const ResidualError& error, const Eigen::VectorXd& seLog, FoceiResult& result);

}  // namespace tessuvan::estimation::internal
