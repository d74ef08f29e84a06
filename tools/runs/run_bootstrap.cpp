#include "runs/run_bootstrap.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "engine/engine_codes.h"
#include "estimation/log_predictions.h"
#include "fmt/format.h"
#include "runs/result_check.h"
#include "runs/run_focei.h"

namespace tessuvan::cli {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::string CovarianceName(const std::string& a, const std::string& b) { return a + ":" + b; }

double Named(const std::vector<std::pair<std::string, double>>& values, const std::string& name)
{
    for (const auto& [key, value] : values)
        if (key == name) return value;
    return kNan;
}

double Covariance(const population::EstimatedOmega& omega, const std::string& a, const std::string& b)
{
    Eigen::Index r = -1, c = -1;
    for (std::size_t k = 0; k < omega.names.size(); ++k) {
        if (omega.names[k] == a) r = Eigen::Index(k);
        if (omega.names[k] == b) c = Eigen::Index(k);
    }
    return r < 0 || c < 0 || omega.covariance.rows() <= std::max(r, c) ? kNan : omega.covariance(r, c);
}

std::vector<std::pair<std::string, double>> Pairs(const std::vector<estimation::Estimated>& estimates)
{
    std::vector<std::pair<std::string, double>> pairs;
    for (const estimation::Estimated& e : estimates) pairs.emplace_back(e.name, e.value);
    return pairs;
}

}  // namespace

std::vector<BootstrapEstimate> BootstrapEstimatesOf(const estimation::FoceiProblem& problem)
{
    std::vector<BootstrapEstimate> estimates;
    for (const auto& theta : problem.thetas)
        if (!theta.fixed) estimates.push_back({"theta", theta.name});
    const auto etaName = [&](std::size_t e) { return problem.thetas[problem.etas[e].theta].name; };
    for (std::size_t e = 0; e < problem.etas.size(); ++e) {
        const int block = problem.etas[e].block;
        if (block < 0 ? !problem.etas[e].fixed : !problem.blocks[std::size_t(block)].fixed)
            estimates.push_back({"omega", etaName(e)});
    }
    for (const auto& block : problem.blocks) {
        if (block.fixed) continue;
        for (Eigen::Index r = 1; r < block.covariance.rows(); ++r)
            for (Eigen::Index c = 0; c < r; ++c)
                estimates.push_back({"omega", CovarianceName(etaName(block.first + std::size_t(r)),
                                                             etaName(block.first + std::size_t(c)))});
    }
    for (const estimation::FoceiProblem::Error& error : problem.errors) {
        const std::string output = error.output.empty() ? "" : error.output + ":";
        if (error.additive && !error.additiveFixed)
            estimates.push_back({"sigma", output + (error.value.exponential ? "exponential" : "additive")});
        if (error.proportional && !error.proportionalFixed) estimates.push_back({"sigma", output + "proportional"});
    }
    return estimates;
}

std::vector<double> EstimateValues(const std::vector<BootstrapEstimate>& estimates,
                                   const population::PopulationValues& values)
{
    std::vector<double> result;
    for (const BootstrapEstimate& estimate : estimates) {
        const std::size_t colon = estimate.name.find(':');
        if (estimate.kind == "theta")
            result.push_back(Named(values.theta, estimate.name));
        else if (estimate.kind == "sigma")
            result.push_back(Named(values.sigma, estimate.name));
        else if (colon == std::string::npos)
            result.push_back(Named(values.omega, estimate.name));
        else
            result.push_back(
                Covariance(values.omegaMatrix, estimate.name.substr(0, colon), estimate.name.substr(colon + 1)));
    }
    return result;
}

population::PopulationValues ValuesOf(const estimation::FoceiResult& fit)
{
    population::PopulationValues values;
    values.theta = Pairs(fit.theta);
    values.omega = Pairs(fit.omega);
    values.sigma = Pairs(fit.sigma);
    values.omegaMatrix = fit.omegaMatrix;
    values.iov = Pairs(fit.iov);
    return values;
}

void StartAt(const population::PopulationValues& values, estimation::FoceiProblem& problem)
{
    const auto value = [](double found, const std::string& what) {
        if (!std::isfinite(found) || !(found > 0))
            throw ModelError("results.json: no positive estimate of " + what + " to start the bootstrap at");
        return found;
    };
    for (auto& theta : problem.thetas)
        if (!theta.fixed) theta.value = value(Named(values.theta, theta.name), "theta " + theta.name);
    for (auto& eta : problem.etas) {
        const std::string& name = problem.thetas[eta.theta].name;
        if (eta.tie >= 0)  // a κ of inter-occasion variability: its parameter's π²
            eta.variance = problem.etas[std::size_t(eta.tie)].variance;
        else if (!eta.iov.empty())
            eta.variance = value(Named(values.iov, eta.iov), "iov " + eta.iov);
        else
            eta.variance = value(Named(values.omega, name), "omega " + name);
    }
    for (auto& block : problem.blocks)
        for (Eigen::Index r = 0; r < block.covariance.rows(); ++r)
            for (Eigen::Index c = 0; c < block.covariance.cols(); ++c) {
                const std::string& a = problem.thetas[problem.etas[block.first + std::size_t(r)].theta].name;
                const std::string& b = problem.thetas[problem.etas[block.first + std::size_t(c)].theta].name;
                const double covariance = Covariance(values.omegaMatrix, a, b);
                if (!std::isfinite(covariance))
                    throw ModelError("results.json: omega_matrix holds no covariance of " + a + " and " + b);
                block.covariance(r, c) = covariance;
            }
    for (estimation::FoceiProblem::Error& error : problem.errors) {
        const std::string output = error.output.empty() ? "" : error.output + ":";
        const std::string additive = output + (error.value.exponential ? "exponential" : "additive");
        const std::string proportional = output + "proportional";
        const auto spoken = [](std::string name) { return std::replace(name.begin(), name.end(), ':', ' '), name; };
        if (error.additive) error.value.additive = value(Named(values.sigma, additive), "sigma " + spoken(additive));
        if (error.proportional)
            error.value.proportional = value(Named(values.sigma, proportional), "sigma " + spoken(proportional));
    }
}

const char* StatusWord(BootstrapFit::Status status)
{
    switch (status) {
        case BootstrapFit::Status::Converged:
            return "converged";
        case BootstrapFit::Status::NotConverged:
            return "not_converged";
        case BootstrapFit::Status::Failed:
            break;
    }
    return "failed";
}

namespace {

BootstrapFit FitSample(const Model& model, const EngineProblem& problem, const estimation::FoceiProblem& start,
                       const std::vector<BootstrapEstimate>& estimates, const std::vector<std::size_t>& drawn,
                       int sample)
{
    BootstrapFit fit;
    fit.sample = sample;
    fit.minus2ll = kNan;
    fit.estimates.assign(estimates.size(), kNan);
    EngineProblem resampled = problem;  // interruptCount and the P formulas stay the whole data set's
    estimation::FoceiProblem focei = start;
    resampled.individuals.clear();
    focei.observed.clear();
    focei.censoring.clear();
    for (const std::size_t i : drawn) {
        resampled.individuals.push_back(problem.individuals[i]);
        focei.observed.push_back(start.observed[i]);
        focei.censoring.push_back(start.censoring[i]);
    }
    try {
        EngineStates states;
        LoadEngineStates(model, resampled, states);
        estimation::FoceiOptions options;
        options.covariance = false;
        estimation::LogPredictions logged(states.simulator, estimation::LoggedObservations(focei));
        const estimation::FoceiResult result = estimation::EstimateFocei(focei, logged, options);
        if (!std::isfinite(result.minus2ll)) {
            fit.message = result.summary;
            return fit;
        }
        fit.minus2ll = result.minus2ll;
        fit.estimates = EstimateValues(estimates, ValuesOf(result));
        fit.status =
            estimation::Converged(result.status) ? BootstrapFit::Status::Converged : BootstrapFit::Status::NotConverged;
        if (fit.status == BootstrapFit::Status::NotConverged) fit.message = result.summary;
    } catch (const EngineError& error) {
        fit.message = error.what();
    } catch (const ResultError& error) {
        fit.message = error.what();
    }
    return fit;
}

}  // namespace

std::vector<BootstrapFit> RunBootstrap(const Model& model, const EngineProblem& problem,
                                       const estimation::FoceiProblem& start, const std::vector<int>& strata,
                                       std::uint64_t seed, const simulation::BootstrapRange& range, int threads,
                                       const BootstrapProgress& progress)
{
    const std::vector<BootstrapEstimate> estimates = BootstrapEstimatesOf(start);
    const int count = range.Size();
    std::vector<BootstrapFit> fits(std::size_t(std::max(count, 0)));
    std::vector<std::exception_ptr> failures(fits.size());
    std::atomic<int> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::mutex reporting;
    const auto work = [&] {
        for (int k = next++; k < count && !stop; k = next++) {
            try {
                const int sample = range.first + k;
                fits[std::size_t(k)] = FitSample(model, problem, start, estimates,
                                                 simulation::ResampledIndividuals(seed, sample, strata), sample);
                const int finished = ++done;
                if (progress) {
                    std::lock_guard<std::mutex> lock(reporting);
                    progress(double(finished) / double(count));
                }
            } catch (...) {
                failures[std::size_t(k)] = std::current_exception();
                stop = true;
            }
        }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(std::max(threads, 1), count); ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
    return fits;
}

}  // namespace tessuvan::cli
