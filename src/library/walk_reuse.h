// Walks whose inputs have not changed since they last ran, replayed instead of simulated.
//
// Within a fit, most walks of a whole-population simulation see the same values as at the
// fit's previous simulation: an individual step changes one individual's values, a population
// step none of the individuals'. When every walk starts from cells it sets itself
// (WalksStartAfresh), a walk's effect is a function of its inputs: the values it installs, the
// individual's Q values and points, the precision and the method. A walk that runs keeps a
// record of what it did (every write into the store's predictions, in order, with its values;
// the values it gave the defined parameters; the formula cells it left; the code of its last
// interval); the same walk with the same inputs (compared bit for bit) then replays the record:
// the same operations on the same operands, so the store and the state end as the walk would
// leave them, to the last bit.
#pragma once

#include <array>
#include <cstdint>
#include <new>
#include <vector>

#include "formula/formula_variables.h"
#include "integration/right_hand_side.h"

namespace tessuvan {

// What a walk depends on besides the model, which stays as loaded.
struct WalkInputs {
    std::array<WorkingFloat, kMaxAdjustables + kMaxQParameters + 1> values{};  // installed, Q, precision
    int count = 0;
    Integrator method = nullptr;
    int32_t points = 0;

    bool Same(const WalkInputs& other) const;
};

struct WalkRecord {
    bool valid = false;
    WalkInputs inputs;
    // Store writes in order: a prediction (previous := current, current := value) or a code
    // written over the predictions of a point (current := value), one value per output.
    struct Write {
        int32_t point;
        bool prediction;
    };
    std::vector<Write> writes;
    std::vector<WorkingFloat> values;
    // Defined parameters and the values the walk gave them, in order.
    std::vector<std::pair<int, WorkingFloat>> definedValues;
    FormulaVariables cellsLeft{};
    bool codeWritten = false;
    int16_t code = 0;

    void Start(const WalkInputs& walkInputs)
    {
        valid = false;
        inputs = walkInputs;
        writes.clear();
        values.clear();
        definedValues.clear();
        codeWritten = false;
    }
};

// The records of the last run of every walk: [0] population walks, [1] individual walks,
// each indexed by individual (1-based).
struct WalkReuse {
    bool active = false;  // set by the fits for their simulations
    std::array<std::vector<WalkRecord>, 2> records;
    long replayed = 0;  // walks replayed since the model was loaded (for tests and profiles)

    // Room for the records of individuals 1 .. individuals at both levels; false when memory
    // runs out.
    bool MakeRoom(int individuals) noexcept
    {
        try {
            for (auto& level : records)
                if (level.size() < static_cast<size_t>(individuals) + 1) level.resize(static_cast<size_t>(individuals) + 1);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    void Clear()
    {
        active = false;
        for (auto& level : records) level = {};
        replayed = 0;
    }
};

}  // namespace tessuvan
