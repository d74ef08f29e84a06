// The population model of a pharmacometric analysis, shared by the estimation, the simulation
// with variability and the results: the typical values θ, the covariance Ω of the random
// effects η in blocks, and the residual error.
//
// Parameter p of individual i is φ_ip = h_p(k_p(θ_p) + η_ip), η_i ~ N(0, Ω), on the scale of
// the parameter (Scale): log-normal by default (k = ln, h = exp: φ = θ·exp(η)), normal
// (k = h = identity: φ = θ + η, θ of any sign) or logit-normal (k = logit, h = its inverse:
// φ in (0, 1)). The estimation searches k(θ), on which η adds. Ω is block diagonal; each block is the covariance matrix
// of the η of some named parameters, a diagonal Ω a set of 1×1 blocks. A block is searched (and drawn) through its
// Cholesky factor L, lower triangular with a positive diagonal, Ω_b = L Lᵀ: any L packed as below gives a positive
// definite block, so a search over the packed numbers never leaves the covariance matrices.
//
// An observation is y = f + ε with Var ε = V(f) = a² + b²·f² (a additive, in the units of y;
// b proportional, a fraction of f): additive, proportional, or combined; or, with an exponential
// error, ln y = ln f + ε with Var ε = σ² (a = σ, b = 0, on the log scale). Each output of the
// model may have its own error model.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace tessuvan::population {

// The scale on which a typical value is searched and its random effect adds.
enum class Scale { Log, Linear, Logit };

const char* ScaleWords(Scale scale);  // "log", "linear", "logit"
// k(θ): ln θ, θ, ln(θ/(1 − θ)).
inline double ToScale(Scale scale, double theta)
{
    return scale == Scale::Log ? std::log(theta) : scale == Scale::Linear ? theta : std::log(theta / (1 - theta));
}
// h(ψ), the inverse of k: e^ψ, ψ, 1/(1 + e^−ψ).
inline double FromScale(Scale scale, double psi)
{
    return scale == Scale::Log ? std::exp(psi) : scale == Scale::Linear ? psi : 1 / (1 + std::exp(-psi));
}
// dh/dψ at ψ = k(θ), in θ: θ, 1, θ(1 − θ) (the delta method's factor from the search's scale).
inline double ScaleSlope(Scale scale, double theta)
{
    return scale == Scale::Log ? theta : scale == Scale::Linear ? 1.0 : theta * (1 - theta);
}
// An individual value h(k(θ) + η); on the log scale θ·exp(η), as it has always been drawn.
inline double IndividualValue(Scale scale, double theta, double eta)
{
    return scale == Scale::Log ? theta * std::exp(eta) : FromScale(scale, ToScale(scale, theta) + eta);
}

struct Theta {
    std::string name;
    double value = 1;  // typical value: positive on the log scale, in (0, 1) on the logit scale
    bool fixed = false;
    double lower = 0;  // bounds of the typical value, in its units
    double upper = std::numeric_limits<double>::infinity();
    Scale scale = Scale::Log;
};

// One diagonal block of Ω: the covariance of the η of `names`, in that order.
struct OmegaBlock {
    std::vector<std::string> names;
    Eigen::MatrixXd covariance;  // symmetric positive definite, names.size() square
    bool fixed = false;

    std::size_t Size() const { return names.size(); }
    // L with L Lᵀ = covariance; false when the block is not positive definite. A 1×1 block's
    // factor is exactly √ω².
    bool Factor(Eigen::MatrixXd& factor) const;

    // The packing for a search: the lower triangle of L row by row, (L_00; L_10, L_11; ...),
    // every diagonal element by its logarithm and the others as they are: Size()·(Size()+1)/2
    // numbers, every one free.
    std::size_t PackedSize() const { return Size() * (Size() + 1) / 2; }
    bool Pack(std::vector<double>& packed) const;  // appends; false when not positive definite
    // The covariance L Lᵀ from the packed numbers at `from` (n×n).
    static Eigen::MatrixXd Unpack(const double* from, std::size_t n);
};

// η = L z of one block from standard normal draws z, taken in the block's order by `normal`.
// The row r is Σ_{c≤r} L_rc z_c summed from c = 0, so a 1×1 block gives √ω²·z to the last bit.
template <typename Normal>
void DrawBlock(const Eigen::MatrixXd& factor, Normal&& normal, double* eta)
{
    const Eigen::Index n = factor.rows();
    Eigen::VectorXd z(n);
    for (Eigen::Index c = 0; c < n; ++c) z[c] = normal();
    for (Eigen::Index r = 0; r < n; ++r) {
        double sum = factor(r, 0) * z[0];
        for (Eigen::Index c = 1; c <= r; ++c) sum += factor(r, c) * z[c];
        eta[r] = sum;
    }
}

// The largest SD of an η (ω, or a block's diagonal factor) the population search reaches and
// the model file accepts: individual values within a factor e^10 (22,000) of the typical one at
// two standard deviations.
constexpr double kLargestOmegaSd = 5;

struct Omega {
    std::vector<OmegaBlock> blocks;

    std::size_t Dimension() const;           // η in all, block after block
    std::vector<std::string> Names() const;  // of every η, in that order
    Eigen::MatrixXd Matrix() const;          // the whole block-diagonal Ω
    // A diagonal Ω: one 1×1 block per variance.
    static Omega Diagonal(const std::vector<std::string>& names, const std::vector<double>& variances,
                          const std::vector<bool>& fixed = {});
};

// V = a² + b²·f²; exponential: V = a² of ln y about ln f.
struct ResidualError {
    double additive = 0;       // a, SD in the units of the observations (exponential: of ln y)
    double proportional = 0;   // b, a fraction of the prediction
    bool exponential = false;  // the error is on the log scale: ln y = ln f + ε
    double Variance(double f) const { return additive * additive + proportional * proportional * f * f; }
    // An observation drawn about f from a standard normal z.
    double Draw(double f, double z) const
    {
        return exponential ? f * std::exp(additive * z) : f + std::sqrt(Variance(f)) * z;
    }
};

enum class ErrorKind { None, Additive, Proportional, Combined, Exponential };

// The residual error with which of its terms the model has and which are fixed; exponential:
// `additive` present, its value σ of ln y.
struct ErrorModel {
    std::string output;  // the output it weighs; empty: every output
    bool additive = false, additiveFixed = false;
    bool proportional = false, proportionalFixed = false;
    ResidualError value;  // a term the model lacks is 0 here

    ErrorKind Kind() const
    {
        if (value.exponential) return ErrorKind::Exponential;
        return additive ? (proportional ? ErrorKind::Combined : ErrorKind::Additive)
                        : (proportional ? ErrorKind::Proportional : ErrorKind::None);
    }
};

// Inter-occasion variability of one parameter: its κ, one per occasion (each a θ fixed at 0 on
// the linear scale, model/occasions.h), independent, sharing the variance π².
struct OccasionVariance {
    std::string parameter;
    std::vector<std::string> kappas;
    double variance = 0;
    bool fixed = false;
};

struct PopulationModel {
    std::vector<Theta> thetas;
    Omega omega;
    std::vector<OccasionVariance> occasions;  // after Ω's η, in this order
    // One error model for every output (its `output` empty), or one per output in the order of
    // the model's outputs.
    std::vector<ErrorModel> errors = {ErrorModel{}};

    // The error model of output k (0-based, in the model's order).
    const ErrorModel& ErrorOf(std::size_t output) const { return errors.size() == 1 ? errors[0] : errors.at(output); }
    bool PerOutput() const { return errors.size() > 1 || !errors.front().output.empty(); }
};

}  // namespace tessuvan::population
