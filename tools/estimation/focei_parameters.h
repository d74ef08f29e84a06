// The estimated population parameters as one vector, in the two coordinates of the outer search:
// the logarithms u (k(θ) on each θ's scale: ln θ, θ itself or logit θ, ln ω² or a block's packed Cholesky factor (ln
// L_rr, L_rc, row by row), ln a, ln b of those not fixed, in that order), in which the gradient of −2LL is taken, and
// the quasi-Newton's own s (the same, but ω = √ω², the Cholesky factor of a 1×1 block of Ω, for a variance, and L_rr
// for ln L_rr). Shared by every method that estimates θ, Ω and the residual error.
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
    enum class Kind { Theta, Omega, Additive, Proportional, FactorDiagonal, FactorBelow };

    explicit Packing(const FoceiProblem& problem);

    std::size_t Size() const { return kinds_.size(); }
    Kind KindOf(std::size_t k) const { return kinds_[k]; }
    std::size_t IndexOf(std::size_t k) const { return index_[k]; }  // θ, η, or block
    // Of a block's factor: the row and column of L_rc within the block.
    std::pair<Eigen::Index, Eigen::Index> ElementOf(std::size_t k) const { return element_[k]; }
    // The first packed number of block b (problem.blocks), unused when it is fixed.
    std::size_t BlockStart(std::size_t b) const { return blockStart_[b]; }
    const std::vector<std::string>& Names() const { return names_; }
    const std::vector<double>& Start() const { return start_; }
    // A variance or a proportional error: its lower bound is "none", not an edge of the search.
    bool FloorIsZero(std::size_t k) const
    {
        return kinds_[k] == Kind::Omega || kinds_[k] == Kind::Proportional || kinds_[k] == Kind::FactorDiagonal;
    }

    // ln θ of every θ, Ω (q × q, block diagonal) and the residual error at x (the fixed ones at
    // their values).
    void Unpack(const std::vector<double>& x, Eigen::VectorXd& logTheta, Eigen::MatrixXd& omega,
                ResidualErrors& error) const;

    // Near ω² = 0, −2LL ≈ c + α·ω², which in u = ln ω² is c + α·e^u: its Newton step is −1
    // whatever ω², so a variance with no support in the data would creep down to its floor one
    // factor e per iteration (ten iterations from 1e-3 to 1e-7), where in ω the same −2LL is a
    // parabola whose step reaches the floor at once.
    // The diagonal of a block's factor likewise: L_rr itself, from its floor.
    double ToLog(std::size_t k, double s) const
    {
        return kinds_[k] == Kind::Omega ? 2 * std::log(s) : kinds_[k] == Kind::FactorDiagonal ? std::log(s) : s;
    }
    double ToSearch(std::size_t k, double u) const
    {
        return kinds_[k] == Kind::Omega ? std::exp(0.5 * u) : kinds_[k] == Kind::FactorDiagonal ? std::exp(u) : u;
    }
    double LogPerSearch(std::size_t k, double s) const
    {
        return kinds_[k] == Kind::Omega ? 2 / s : kinds_[k] == Kind::FactorDiagonal ? 1 / s : 1.0;
    }
    std::vector<double> ToLog(const std::vector<double>& s) const;
    std::vector<double> ToSearch(const std::vector<double>& u) const;

    // Bounds of the search around the start, in its coordinates: a typical value within a
    // factor e³ ≈ 20 of its start, so that the quasi-Newton's first steps (as long as the
    // gradient is large) cannot reach parameters so stiff that a simulation takes the engine's
    // ceiling of steps; a variance ω² within [1e-7, 25], a factor's L_rr² likewise and its
    // L_rc within [−5, 5].
    // A θ on the linear scale is searched in its own units: within 20 times the larger of 1 and
    // |θ₀| of its start, and the trust radius scaled by that unit.
    void Bounds(std::vector<double>& low, std::vector<double>& high) const;
    population::Scale ScaleOf(std::size_t k) const;  // of a θ; Log for every other number
    double TrustScale(std::size_t k) const;          // max(1, |θ₀|) of a linear θ, else 1

private:
    void Add(Kind kind, std::size_t index, const std::string& name, double value);
    const FoceiProblem& problem_;
    std::vector<Kind> kinds_;
    std::vector<std::size_t> index_;
    std::vector<std::pair<Eigen::Index, Eigen::Index>> element_;
    std::vector<std::size_t> blockStart_;
    std::vector<std::string> names_;
    std::vector<double> start_;
};

// The estimates on the natural scale with their standard errors from the covariance of the
// log parameters (seLog and covarianceLog, in the packing's order; NaN where none): θ, ω² per η, then σ,
// and with blocks the whole Ω.
void NaturalEstimates(const FoceiProblem& problem, const Packing& packing, const Eigen::VectorXd& logTheta,
                      const Eigen::MatrixXd& omega, const ResidualErrors& error, const Eigen::VectorXd& seLog,
                      const Eigen::MatrixXd& covarianceLog, FoceiResult& result);

}  // namespace tessuvan::estimation::internal
