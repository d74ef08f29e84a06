// What the estimation needs of a model: the predictions of every individual's observations at
// values of its own. The engine is one such simulator (engine_adapter.h); the tests use
// closed forms.
#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Dense>

namespace tessuvan::estimation {

class Simulator {
public:
    virtual ~Simulator() = default;
    virtual std::size_t Individuals() const = 0;
    // Values per individual: one per parameter of the model, in the model's order.
    virtual std::size_t Parameters() const = 0;
    // Observations of individual i, in the order the predictions give them.
    virtual std::size_t Observations(std::size_t i) const = 0;
    // Fills predictions[i] (one value per observation of i) for every i with which[i] set,
    // simulating i at values[i]; the others are left alone. False when a simulation failed;
    // the predictions of an individual whose simulation failed are NaN, so that the failure
    // is that individual's alone.
    virtual bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                         std::vector<Eigen::VectorXd>& predictions) = 0;
    // The values individual i's last simulation used, those the model computes by a formula
    // included; by default the values it was given.
    virtual void UsedValues(std::size_t /*i*/, Eigen::VectorXd& /*values*/) const {}
};

}  // namespace tessuvan::estimation
