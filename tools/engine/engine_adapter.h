// The engine as the estimation's simulator, in full (double) precision.
//
// The public entry points hand parameter values and predictions over as 32-bit floats, which
// would limit finite-difference derivatives to about three significant digits. This adapter
// instead drives the engine's internal interface: it loads each block of host records with the
// engine's own load routine into a library state of its own (so that blocks of up to the
// engine's capacity of individuals each make a population of any size), sets every
// individual's values in the state's parameter table in double precision, runs the
// individual walks of the individuals asked for, and reads their predictions from the store.
//
// Every access to the engine's internals lives in engine_adapter.cpp, and nowhere else; the
// header shows only the public records.
#pragma once

#include <memory>
#include <vector>

#include "estimation/simulator.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::estimation {

// One observation of an individual: at which of its points (1-based) and which output (1-based).
struct ObservationSlot {
    int point = 0;
    int output = 0;
};

// The host records of one block of individuals, filled as for Calcul_initial (the data and
// species files written), and where each individual's observations are.
struct EngineBlock {
    BInitials* init = nullptr;
    BFitSet* fit = nullptr;
    ParameterTable* table = nullptr;
    PParameterTexts* pTexts = nullptr;
    QParameterValues* qValues = nullptr;
    OutputTexts* outputs = nullptr;
    std::vector<std::vector<ObservationSlot>> observations;  // [individual of the block]
};

class EngineSimulator final : public Simulator {
public:
    EngineSimulator();
    ~EngineSimulator() override;  // releases every block (and erases their files)
    EngineSimulator(const EngineSimulator&) = delete;
    EngineSimulator& operator=(const EngineSimulator&) = delete;

    // Loads one block; returns the engine's code (0 when loaded).
    int Load(const EngineBlock& block);

    std::size_t Individuals() const override;
    std::size_t Parameters() const override;
    std::size_t Observations(std::size_t i) const override;
    bool Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                 std::vector<Eigen::VectorXd>& predictions) override;
    void UsedValues(std::size_t i, Eigen::VectorXd& values) const override;

    long Walks() const { return walks_; }  // individual simulations run
    int LastCode() const { return lastCode_; }  // the engine's code of the last failed walk

private:
    struct Loaded;
    std::vector<std::unique_ptr<Loaded>> blocks_;
    long walks_ = 0;
    int lastCode_ = 0;
};

}  // namespace tessuvan::estimation
