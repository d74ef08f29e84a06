// The estimation's simulator over the engine's C++ interface (see engine_adapter.h).
#include "engine/engine_adapter.h"

#include <cmath>

#include "entry/engine.h"

namespace tessuvan::estimation {

struct EngineSimulator::Loaded {
    Engine engine;
    BInitials init{};
    BFitSet fit{};
    std::vector<std::vector<ObservationSlot>> observations;
};

EngineSimulator::EngineSimulator() = default;

EngineSimulator::~EngineSimulator()
{
    for (auto& block : blocks_) {
        block->fit.Erreur = 0;
        block->engine.Release(&block->init, &block->fit);
    }
}

int EngineSimulator::Load(const EngineBlock& block)
{
    auto loaded = std::make_unique<Loaded>();
    loaded->init = *block.init;
    loaded->fit = *block.fit;
    loaded->fit.Erreur = 0;
    static const std::vector<TessuvanPointRecord> none;
    loaded->engine.Load(&loaded->init, &loaded->fit, block.table, block.pTexts, block.qValues, block.outputs,
                        block.points != nullptr ? *block.points : none, block.speciesText);
    const int code = loaded->fit.Erreur;
    // The walks read the integrator's tolerance from the settings, which the load leaves to
    // the first call that brings them.
    loaded->engine.UseSettings(loaded->fit);
    loaded->observations = block.observations;
    blocks_.push_back(std::move(loaded));  // released with the rest
    return code;
}

std::size_t EngineSimulator::Individuals() const
{
    std::size_t n = 0;
    for (const auto& block : blocks_) n += block->observations.size();
    return n;
}

std::size_t EngineSimulator::Parameters() const
{
    return blocks_.empty() ? 0 : std::size_t(blocks_.front()->init.NAjustables);
}

std::size_t EngineSimulator::Observations(std::size_t i) const
{
    for (const auto& block : blocks_) {
        if (i < block->observations.size()) return block->observations[i].size();
        i -= block->observations.size();
    }
    return 0;
}

bool EngineSimulator::Predict(const std::vector<Eigen::VectorXd>& values, const std::vector<char>& which,
                              std::vector<Eigen::VectorXd>& predictions)
{
    std::size_t i = 0;
    bool ok = true;
    for (auto& block : blocks_) {
        Engine& engine = block->engine;
        for (std::size_t a = 1; a <= block->observations.size(); ++a, ++i) {
            if (!which[i]) continue;
            const int code = engine.SimulateIndividual(int(a), values[i].data());
            ++walks_;
            if (code != 0) {
                lastCode_ = code;
                ok = false;
            }
            const std::vector<ObservationSlot>& slots = block->observations[a - 1];
            predictions[i].resize(Eigen::Index(slots.size()));
            for (std::size_t o = 0; o < slots.size(); ++o)
                predictions[i][Eigen::Index(o)] =
                    code != 0 ? std::nan("") : engine.IndividualPrediction(int(a), slots[o].point, slots[o].output);
        }
    }
    return ok;
}

void EngineSimulator::UsedValues(std::size_t i, Eigen::VectorXd& values) const
{
    for (const auto& block : blocks_) {
        if (i < block->observations.size()) {
            const int parameters = block->init.NAjustables;
            values.resize(parameters);
            for (int p = 1; p <= parameters; ++p) values[p - 1] = block->engine.UsedValue(int(i + 1), p);
            return;
        }
        i -= block->observations.size();
    }
}

}  // namespace tessuvan::estimation
