#include "population/population_model.h"

namespace tessuvan::population {

const char* ScaleWords(Scale scale)
{
    static const char* const words[] = {"log", "linear", "logit"};
    return words[static_cast<int>(scale)];
}

bool OmegaBlock::Factor(Eigen::MatrixXd& factor) const
{
    const Eigen::Index n = Eigen::Index(Size());
    if (covariance.rows() != n || covariance.cols() != n) return false;
    if (n == 1) {  // √ω² itself, as the draws of a diagonal Ω have always taken it
        if (!(covariance(0, 0) > 0)) return false;
        factor = Eigen::MatrixXd::Constant(1, 1, std::sqrt(covariance(0, 0)));
        return true;
    }
    const Eigen::LLT<Eigen::MatrixXd> llt(covariance);
    if (llt.info() != Eigen::Success) return false;
    factor = llt.matrixL();
    return true;
}

bool OmegaBlock::Pack(std::vector<double>& packed) const
{
    Eigen::MatrixXd factor;
    if (!Factor(factor)) return false;
    for (Eigen::Index r = 0; r < factor.rows(); ++r)
        for (Eigen::Index c = 0; c <= r; ++c) packed.push_back(r == c ? std::log(factor(r, c)) : factor(r, c));
    return true;
}

Eigen::MatrixXd OmegaBlock::Unpack(const double* from, std::size_t n)
{
    Eigen::MatrixXd factor = Eigen::MatrixXd::Zero(Eigen::Index(n), Eigen::Index(n));
    for (Eigen::Index r = 0; r < Eigen::Index(n); ++r)
        for (Eigen::Index c = 0; c <= r; ++c, ++from) factor(r, c) = r == c ? std::exp(*from) : *from;
    return factor * factor.transpose();
}

std::size_t Omega::Dimension() const
{
    std::size_t n = 0;
    for (const OmegaBlock& block : blocks) n += block.Size();
    return n;
}

std::vector<std::string> Omega::Names() const
{
    std::vector<std::string> names;
    for (const OmegaBlock& block : blocks) names.insert(names.end(), block.names.begin(), block.names.end());
    return names;
}

Eigen::MatrixXd Omega::Matrix() const
{
    const Eigen::Index n = Eigen::Index(Dimension());
    Eigen::MatrixXd omega = Eigen::MatrixXd::Zero(n, n);
    Eigen::Index at = 0;
    for (const OmegaBlock& block : blocks) {
        const Eigen::Index size = Eigen::Index(block.Size());
        omega.block(at, at, size, size) = block.covariance;
        at += size;
    }
    return omega;
}

Omega Omega::Diagonal(const std::vector<std::string>& names, const std::vector<double>& variances,
                      const std::vector<bool>& fixed)
{
    Omega omega;
    for (std::size_t e = 0; e < names.size(); ++e)
        omega.blocks.push_back(
            {{names[e]}, Eigen::MatrixXd::Constant(1, 1, variances[e]), e < fixed.size() && fixed[e]});
    return omega;
}

}  // namespace tessuvan::population
