// A simulator whose predictions of some observations are given as ln f: the estimation weighs an
// exponential residual error (ln y = ln f + ε) as an additive one on ln y, and the observations
// of such an output are given to it as ln y. A prediction at or below 0 has no logarithm: NaN,
// which the likelihood refuses (+∞) as it refuses a failed simulation.
#pragma once

#include <cmath>
#include <vector>

#include "estimation/focei.h"
#include "estimation/simulator.h"

namespace tessuvan::estimation {

class LogPredictions : public Simulator {
public:
    // logged[i][j]: whether observation j of individual i is predicted as ln f.
    LogPredictions(Simulator& inner, std::vector<std::vector<char>> logged) : inner_(inner), logged_(std::move(logged))
    {
    }
    std::size_t Individuals() const override { return inner_.Individuals(); }
    std::size_t Parameters() const override { return inner_.Parameters(); }
    std::size_t Observations(std::size_t i) const override { return inner_.Observations(i); }
    bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                 std::vector<Eigen::VectorXd>& predictions) override
    {
        const bool done = inner_.Predict(values, which, predictions);
        for (std::size_t i = 0; i < predictions.size() && i < logged_.size(); ++i) {
            if (!which[i]) continue;
            for (Eigen::Index j = 0; j < predictions[i].size() && std::size_t(j) < logged_[i].size(); ++j)
                if (logged_[i][std::size_t(j)])
                    predictions[i][j] = predictions[i][j] > 0 ? std::log(predictions[i][j]) : std::nan("");
        }
        return done;
    }
    void UsedValues(std::size_t i, Eigen::VectorXd& values) const override { inner_.UsedValues(i, values); }

private:
    Simulator& inner_;
    std::vector<std::vector<char>> logged_;
};

// [i][j]: whether the error model of observation j of i is exponential; empty when none is.
inline std::vector<std::vector<char>> LoggedObservations(const FoceiProblem& problem)
{
    std::vector<std::vector<char>> logged;
    bool any = false;
    for (const FoceiProblem::Error& error : problem.errors) any = any || error.value.exponential;
    if (!any) return logged;
    static const Censoring none;
    for (std::size_t i = 0; i < problem.observed.size(); ++i) {
        const Censoring& censoring = i < problem.censoring.size() ? problem.censoring[i] : none;
        std::vector<char>& of = logged.emplace_back();
        for (Eigen::Index j = 0; j < problem.observed[i].size(); ++j)
            of.push_back(problem.errors[censoring.ErrorOf(j)].value.exponential ? 1 : 0);
    }
    return logged;
}

}  // namespace tessuvan::estimation
