// The inner problem: every individual's mode η̂_i of l_i(η) at given population values, with
// the derivatives of the predictions in η (and in the ln θ of typical values without η) that
// the outer objective and its gradient take at the modes. Any method that integrates the
// random effects about their modes (the Laplace approximation of FOCEI, and others) shares it.
#pragma once

#include <vector>

#include <Eigen/Dense>

#include "estimation/focei.h"
#include "estimation/residual_terms.h"

namespace tessuvan::estimation::internal {

class Modes {
public:
    Modes(const FoceiProblem& problem, Simulator& simulator, const FoceiOptions& options);

    void Set(const Eigen::VectorXd& logTheta, const Eigen::MatrixXd& omega, const ResidualErrors& error)
    {
        logTheta_ = logTheta;
        omega_ = omega;
        error_ = error;
    }

    // Individual i's values of every model parameter at η, the typical values moved by
    // logShift (per θ, in ln θ) when given.
    Eigen::VectorXd Values(std::size_t i, const Eigen::VectorXd& eta, const Eigen::VectorXd* logShift = nullptr) const;
    bool Predict(const std::vector<Eigen::VectorXd>& etas, const std::vector<char>& which,
                 std::vector<Eigen::VectorXd>& f, const Eigen::VectorXd* logShift = nullptr);

    // Finds every mode from the current η (a warm start), leaving l_i, f, G and H_i at each;
    // false when some individual has no finite l_i or its derivatives cannot be taken.
    bool FindModes(double tolerance);

    // The objective a method minimises over the population values, from the modes found (+∞
    // when none): FOCEI's is FoceiMinus2LL (focei_objective.h).
    using Objective = double (*)(Modes& modes, double tolerance);
    // Each individual's mode solved again from η = 0, kept where l_i is lower than at the
    // present mode: a mode carried by warm starts into another basin (a swap of absorption and
    // elimination, say) on the way. Returns how many individuals changed basin.
    int ReviseModes(double tolerance, Objective objective);

    // f of the individuals in which at z + step·e_k (+ step·e_l when l ≥ 0), z = (η, ln θ of
    // the free typical values without η).
    bool PredictMoved(std::size_t k, int l, double step, const std::vector<char>& which,
                      std::vector<Eigen::VectorXd>& out);
    // K = ∇²_η l_i = 2Ω⁻¹ + Σ_j [ℓ''_j g_j g_jᵀ + ℓ'_j ∇²f_j].
    Eigen::MatrixXd ExactHessian(std::size_t i, const Eigen::MatrixXd& omegaInverse) const;
    const Censoring& CensoringOf(std::size_t i) const
    {
        return i < problem_.censoring.size() ? problem_.censoring[i] : NoCensoring();
    }
    Eigen::MatrixXd OmegaInverse() const;
    // ln|Ω|; NaN when a block is not positive definite.
    double LogDetOmega() const;

    const FoceiProblem& problem_;
    Simulator& simulator_;
    const FoceiOptions& options_;
    std::size_t n_, q_;
    Eigen::VectorXd logTheta_;
    Eigen::MatrixXd omega_;  // Ω, q × q
    ResidualErrors error_;
    std::vector<Eigen::VectorXd> eta_, f_;      // [i]: the modes and the predictions there
    std::vector<Eigen::MatrixXd> g_, h_;        // [i]: G = ∂f/∂η and H_i at the mode
    std::vector<Eigen::MatrixXd> sensitivity_;  // [i]: dη̂_i/dx of the last gradient
    std::vector<double> l_;                     // [i]: l_i at the mode
    long simulations_ = 0;
    std::vector<std::size_t> plain_;                    // free θ without η: the further directions
    std::vector<int> plainIndex_;                       // [θ]: its place among them, −1 none
    std::vector<std::vector<Eigen::MatrixXd>> second_;  // [i][k]: ∂²f/∂z_k∂η (n_obs × q)
    std::vector<std::vector<Eigen::VectorXd>> moved_;   // [k][i]: f at η + d·e_k
    std::vector<Eigen::VectorXd> pair_;                 // [i]: f at η + d·e_k + d·e_l

private:
    // G and the second derivatives in η of the individuals in which (see the definition).
    bool EtaDerivatives(const std::vector<char>& which, std::vector<char>& failed);
};

}  // namespace tessuvan::estimation::internal
