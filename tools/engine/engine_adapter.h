// The engine as the estimation's simulator, in full (double) precision.
//
// The public entry points hand parameter values and predictions over as 32-bit floats, which
// would limit finite-difference derivatives to about three significant digits. This adapter
// instead drives the engine's C++ interface (entry/engine.h): it loads each block of host
// records, with its points and species lines in memory, into an Engine of its own (so that
// blocks of up to the engine's capacity of individuals each make a population of any size),
// runs the individual walks of the individuals asked for at double-precision values, and
// reads their predictions back in double precision.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "estimation/simulator.h"
#include "tessuvan/tessuvan.h"

namespace tessuvan::estimation {

// One observation of an individual: at which of its points (1-based) and which output (1-based).
struct ObservationSlot {
    int point = 0;
    int output = 0;
};

// The host records of one block of individuals, filled as for Calcul_initial, the data file's
// records and the species file's text in memory, and where each individual's observations are.
struct EngineBlock {
    BInitials* init = nullptr;
    BFitSet* fit = nullptr;
    ParameterTable* table = nullptr;
    PParameterTexts* pTexts = nullptr;
    QParameterValues* qValues = nullptr;
    OutputTexts* outputs = nullptr;
    const std::vector<TessuvanPointRecord>* points = nullptr;
    std::string_view speciesText;
    std::vector<std::vector<ObservationSlot>> observations;  // [individual of the block]
};

class EngineSimulator final : public Simulator {
public:
    EngineSimulator();
    ~EngineSimulator() override;  // releases every block
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

    long Walks() const { return walks_; }       // individual simulations run
    int LastCode() const { return lastCode_; }  // the engine's code of the last failed walk

private:
    struct Loaded;
    std::vector<std::unique_ptr<Loaded>> blocks_;
    long walks_ = 0;
    int lastCode_ = 0;
};

}  // namespace tessuvan::estimation
