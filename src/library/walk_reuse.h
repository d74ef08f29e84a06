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

// What a walk tells whoever records it (drivers.cpp runs a walk with either sink): the values
// it gives the defined parameters, every write of a point's predictions, that it integrated
// (and so wrote the code), and the cells and code it ends with.
struct WalkNotRecorded {
    void Defined(int /*k*/, WorkingFloat /*value*/) {}
    // A write of point's predictions, value(k) for outputs k = 1 .. outputs; prediction: the
    // previous predictions were kept first.
    template <typename Value>
    void Wrote(int /*point*/, bool /*prediction*/, int /*outputs*/, const Value& /*value*/)
    {
    }
    void Integrated() {}
    void Finished(const FormulaVariables& /*cells*/, int16_t /*code*/) {}
};

// Keeps what the walk does in a record started for its inputs; the record is valid once the
// walk has finished. Out of memory, the record is given up (left invalid) and the walk goes on.
class WalkRecorder {
public:
    explicit WalkRecorder(WalkRecord& record) : record_(&record) {}

    void Defined(int k, WorkingFloat value)
    {
        if (record_ == nullptr) return;
        try {
            record_->definedValues.emplace_back(k, value);
        } catch (const std::bad_alloc&) {
            GiveUp();
        }
    }
    template <typename Value>
    void Wrote(int point, bool prediction, int outputs, const Value& value)
    {
        if (record_ == nullptr) return;
        try {
            record_->writes.push_back(WalkRecord::Write{point, prediction});
            for (int k = 1; k <= outputs; ++k) record_->values.push_back(value(k));
        } catch (const std::bad_alloc&) {
            GiveUp();
        }
    }
    void Integrated()
    {
        if (record_ != nullptr) record_->codeWritten = true;
    }
    void Finished(const FormulaVariables& cells, int16_t code)
    {
        if (record_ == nullptr) return;
        record_->cellsLeft = cells;
        record_->code = code;
        record_->valid = true;
    }

private:
    void GiveUp()
    {
        record_->valid = false;
        record_ = nullptr;
    }

    WalkRecord* record_;
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
