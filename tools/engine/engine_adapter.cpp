// The only file of the toolkit that reads the engine's internals (see engine_adapter.h). What
// it relies on, so that a change of the engine's inside needs a change here alone:
//   - CalculInitial / FinRun on a LibraryState of its own (src/entry/entry_points.h): the
//     load and release behind Calcul_initial and Fin;
//   - the state's library copy of BFitSet (`fit`), whose Precision the integrators read and
//     whose Erreur holds the code of the last interval a walk integrated;
//   - AdjustableTable[p].PV[a]: the value of parameter p for individual a (a defining formula
//     overwrites it in the walk);
//   - SimulateIndividual (src/library/drivers.h): individual a's walk with its own values, which
//     writes IndividualPrediction of its points into the store.
#include "engine/engine_adapter.h"

#include <cmath>

#include "library/drivers.h"
#include "entry/entry_points.h"
#include "library/library_state.h"

namespace tessuvan::estimation {

struct EngineSimulator::Loaded {
    LibraryState state;
    BInitials init{};
    BFitSet fit{};
    std::vector<std::vector<ObservationSlot>> observations;
};

EngineSimulator::EngineSimulator() = default;

EngineSimulator::~EngineSimulator()
{
    for (auto& block : blocks_) {
        block->fit.Erreur = 0;
        FinRun(block->state, &block->init, &block->fit);
    }
}

int EngineSimulator::Load(const EngineBlock& block)
{
    auto loaded = std::make_unique<Loaded>();
    loaded->init = *block.init;
    loaded->fit = *block.fit;
    loaded->fit.Erreur = 0;
    CalculInitial(loaded->state, &loaded->init, &loaded->fit, block.table, block.pTexts, block.qValues,
                  block.outputs);
    const int code = loaded->fit.Erreur;
    // The walks read the integrator's tolerance from the library copy of BFitSet, which the
    // load leaves to the first call that brings one.
    loaded->state.fit = loaded->fit;
    loaded->state.fit.Erreur = 0;
    loaded->observations = block.observations;
    blocks_.push_back(std::move(loaded));  // released (and its files erased) with the rest
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
        LibraryState& state = block->state;
        const int parameters = state.init.record.NAjustables;
        for (std::size_t a = 1; a <= block->observations.size(); ++a, ++i) {
            if (!which[i]) continue;
            for (int p = 1; p <= parameters; ++p) state.AdjustableTable[std::size_t(p)].PV[a] = values[i][p - 1];
            state.fit.Erreur = 0;
            SimulateIndividual(state, int(a), *state.store);
            ++walks_;
            if (state.fit.Erreur != 0) {
                lastCode_ = state.fit.Erreur;
                ok = false;
            }
            const std::vector<ObservationSlot>& slots = block->observations[a - 1];
            predictions[i].resize(Eigen::Index(slots.size()));
            for (std::size_t o = 0; o < slots.size(); ++o)
                predictions[i][Eigen::Index(o)] =
                    state.fit.Erreur != 0 ? std::nan("")
                                          : double(state.store->IndividualPrediction(int(a), slots[o].point, slots[o].output));
        }
    }
    return ok;
}

void EngineSimulator::UsedValues(std::size_t i, Eigen::VectorXd& values) const
{
    for (const auto& block : blocks_) {
        if (i < block->observations.size()) {
            const int parameters = block->state.init.record.NAjustables;
            values.resize(parameters);
            for (int p = 1; p <= parameters; ++p)
                values[p - 1] = double(block->state.AdjustableTable[std::size_t(p)].PV[i + 1]);
            return;
        }
        i -= block->observations.size();
    }
}

}  // namespace tessuvan::estimation
