#include "estimation/focei_parameters.h"

#include <algorithm>
#include <stdexcept>

namespace tessuvan::estimation {

FoceiProblem FoceiProblemOf(const population::PopulationModel& model, const std::vector<std::string>& parameters)
{
    FoceiProblem problem;
    for (const population::Theta& theta : model.thetas) {
        const auto at = std::find(parameters.begin(), parameters.end(), theta.name);
        if (at == parameters.end()) throw std::invalid_argument("no model parameter " + theta.name);
        problem.thetas.push_back({theta.name, std::size_t(at - parameters.begin()), theta.value, theta.fixed, -1});
    }
    for (const population::OmegaBlock& block : model.omega.blocks) {
        if (block.Size() != 1) throw std::invalid_argument("FOCEI estimates a diagonal omega (blocks of one eta)");
        std::size_t t = 0;
        while (t < problem.thetas.size() && problem.thetas[t].name != block.names[0]) ++t;
        if (t == problem.thetas.size()) throw std::invalid_argument("no theta for the eta of " + block.names[0]);
        problem.thetas[t].eta = int(problem.etas.size());
        problem.etas.push_back({t, block.covariance(0, 0), block.fixed});
    }
    problem.error = model.error.value;
    problem.additive = model.error.additive;
    problem.additiveFixed = model.error.additiveFixed;
    problem.proportional = model.error.proportional;
    problem.proportionalFixed = model.error.proportionalFixed;
    return problem;
}

}  // namespace tessuvan::estimation

namespace tessuvan::estimation::internal {

Packing::Packing(const FoceiProblem& problem) : problem_(problem)
{
    for (std::size_t t = 0; t < problem.thetas.size(); ++t)
        if (!problem.thetas[t].fixed) Add(Kind::Theta, t, problem.thetas[t].name, problem.thetas[t].value);
    for (std::size_t e = 0; e < problem.etas.size(); ++e)
        if (!problem.etas[e].fixed)
            Add(Kind::Omega, e, "omega(" + problem.thetas[problem.etas[e].theta].name + ")", problem.etas[e].variance);
    if (problem.additive && !problem.additiveFixed) Add(Kind::Additive, 0, "sigma(additive)", problem.error.additive);
    if (problem.proportional && !problem.proportionalFixed)
        Add(Kind::Proportional, 0, "sigma(proportional)", problem.error.proportional);
}

void Packing::Unpack(const std::vector<double>& x, Eigen::VectorXd& logTheta, Eigen::VectorXd& omega,
                     ResidualError& error) const
{
    logTheta.resize(Eigen::Index(problem_.thetas.size()));
    for (std::size_t t = 0; t < problem_.thetas.size(); ++t)
        logTheta[Eigen::Index(t)] = std::log(problem_.thetas[t].value);
    omega.resize(Eigen::Index(problem_.etas.size()));
    for (std::size_t e = 0; e < problem_.etas.size(); ++e) omega[Eigen::Index(e)] = problem_.etas[e].variance;
    error = problem_.error;
    if (!problem_.additive) error.additive = 0;
    if (!problem_.proportional) error.proportional = 0;
    for (std::size_t k = 0; k < kinds_.size(); ++k) {
        const auto at = Eigen::Index(index_[k]);
        switch (kinds_[k]) {
            case Kind::Theta:
                logTheta[at] = x[k];
                break;
            case Kind::Omega:
                omega[at] = std::exp(x[k]);
                break;
            case Kind::Additive:
                error.additive = std::exp(x[k]);
                break;
            case Kind::Proportional:
                error.proportional = std::exp(x[k]);
                break;
        }
    }
}

std::vector<double> Packing::ToLog(const std::vector<double>& s) const
{
    std::vector<double> u(s.size());
    for (std::size_t k = 0; k < s.size(); ++k) u[k] = ToLog(k, s[k]);
    return u;
}

std::vector<double> Packing::ToSearch(const std::vector<double>& u) const
{
    std::vector<double> s(u.size());
    for (std::size_t k = 0; k < u.size(); ++k) s[k] = ToSearch(k, u[k]);
    return s;
}

void Packing::Bounds(std::vector<double>& low, std::vector<double>& high) const
{
    for (std::size_t k = 0; k < kinds_.size(); ++k) {
        const double x0 = start_[k];
        switch (kinds_[k]) {
            case Kind::Theta:
                low.push_back(x0 - 3);
                high.push_back(x0 + 3);
                break;
            case Kind::Omega:
                low.push_back(std::sqrt(kVarianceFloor));
                high.push_back(5.0);
                break;
            case Kind::Additive:
                low.push_back(x0 - 9);
                high.push_back(x0 + 9);
                break;
            case Kind::Proportional:
                low.push_back(std::log(1e-5));
                high.push_back(std::log(10.0));
                break;
        }
    }
}

void Packing::Add(Kind kind, std::size_t index, const std::string& name, double value)
{
    kinds_.push_back(kind);
    index_.push_back(index);
    names_.push_back(name);
    start_.push_back(std::log(value));
}

// Every estimate is log-parametrised, so SE = value · SE(log).
void NaturalEstimates(const FoceiProblem& problem, const Eigen::VectorXd& logTheta, const Eigen::VectorXd& omega,
                      const ResidualError& error, const Eigen::VectorXd& seLog, FoceiResult& result)
{
    std::size_t k = 0;
    auto se = [&](bool fixed, double value) { return fixed ? std::nan("") : value * seLog[Eigen::Index(k++)]; };
    for (std::size_t t = 0; t < problem.thetas.size(); ++t) {
        const double value = std::exp(logTheta[Eigen::Index(t)]);
        result.theta.push_back(
            {problem.thetas[t].name, value, se(problem.thetas[t].fixed, value), problem.thetas[t].fixed});
    }
    for (std::size_t e = 0; e < problem.etas.size(); ++e) {
        const double value = omega[Eigen::Index(e)];
        result.omega.push_back({problem.thetas[problem.etas[e].theta].name, value, se(problem.etas[e].fixed, value),
                                problem.etas[e].fixed});
    }
    if (problem.additive)
        result.sigma.push_back(
            {"additive", error.additive, se(problem.additiveFixed, error.additive), problem.additiveFixed});
    if (problem.proportional)
        result.sigma.push_back({"proportional", error.proportional, se(problem.proportionalFixed, error.proportional),
                                problem.proportionalFixed});
}

}  // namespace tessuvan::estimation::internal
