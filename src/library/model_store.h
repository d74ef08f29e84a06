// The model store: every individual's points with their observations, predictions, weights
// and sensitivities, and the observation counters. It is sized by the model's own counts
// (individuals, points per individual, outputs, adjustable parameters), not by the
// capacities, so a small model costs little and the fits can copy it cheaply.
//
// Indices are 1-based as the model numbers things: individual i = 1..individuals, point
// j = 1..PointCount(i), output k = 1..outputs, parameter p = 1..adjustables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/numeric.h"

namespace tessuvan {

class ModelStore {
public:
    struct Shape {
        int individuals = 0;          // NIndividuals
        int pointsPerIndividual = 0;  // the largest point count of any individual
        int outputs = 0;              // NSorties
        int adjustables = 0;          // NAjustables
    };

    // A store of the given shape with every value 0; nullptr when memory is exhausted.
    static std::unique_ptr<ModelStore> Create(const Shape& shape) noexcept;

    const Shape& shape() const { return shape_; }
    // What a simulation reads and writes (counters, interrupts, times, observed values,
    // predictions, weights) in a store without sensitivity columns: the scratch a fit's finite
    // differences simulate on, much smaller than the store itself. nullptr when memory is
    // exhausted.
    std::unique_ptr<ModelStore> SimulationCopy() const noexcept;
    // Bytes held by the store's arrays.
    size_t AllocatedBytes() const;

    // Counter header.
    int32_t IndividualsWithObservations = 0;
    int32_t TotalObservationCount = 0;
    int32_t& ObservationCount(int i) { return observationCount_[i]; }
    int32_t& PointCount(int i) { return pointCount_[i]; }
    int32_t PointCount(int i) const { return pointCount_[i]; }

    // Point fields.
    int16_t& Interrupt(int i, int j) { return interrupt_[PointIndex(i, j)]; }
    WorkingFloat& Time(int i, int j) { return time_[PointIndex(i, j)]; }
    WorkingFloat& Observed(int i, int j, int k) { return values_[Value(i, j, kObserved, k)]; }
    WorkingFloat& PopulationPrediction(int i, int j, int k) { return values_[Value(i, j, kPopulation, k)]; }
    WorkingFloat& IndividualPrediction(int i, int j, int k) { return values_[Value(i, j, kIndividual, k)]; }
    WorkingFloat& PreviousPopulationPrediction(int i, int j, int k) { return values_[Value(i, j, kPreviousPopulation, k)]; }
    WorkingFloat& PreviousIndividualPrediction(int i, int j, int k) { return values_[Value(i, j, kPreviousIndividual, k)]; }
    WorkingFloat& Weight(int i, int j, int k) { return values_[Value(i, j, kWeight, k)]; }
    // Derivative of output k at point (i, j) by parameter p.
    WorkingFloat& IndividualSensitivity(int i, int j, int k, int p) { return individualSensitivity_[Sensitivity(i, j, k, p)]; }
    WorkingFloat& PopulationSensitivity(int i, int j, int k, int p) { return populationSensitivity_[Sensitivity(i, j, k, p)]; }

    // Whether (i, j) addresses a slot of this store (j may exceed PointCount(i)).
    bool HasSlot(int i, int j) const
    {
        return i >= 1 && i <= shape_.individuals && j >= 1 && j <= shape_.pointsPerIndividual;
    }

private:
    enum Field { kObserved, kPopulation, kIndividual, kPreviousPopulation, kPreviousIndividual, kWeight, kFieldCount };

    explicit ModelStore(const Shape& shape) : shape_(shape) {}

    size_t PointIndex(int i, int j) const
    {
        return static_cast<size_t>(i - 1) * static_cast<size_t>(shape_.pointsPerIndividual) + static_cast<size_t>(j - 1);
    }
    size_t Value(int i, int j, Field field, int k) const
    {
        return (PointIndex(i, j) * kFieldCount + field) * static_cast<size_t>(shape_.outputs) + static_cast<size_t>(k - 1);
    }
    size_t Sensitivity(int i, int j, int k, int p) const
    {
        return (PointIndex(i, j) * static_cast<size_t>(shape_.outputs) + static_cast<size_t>(k - 1)) *
                   static_cast<size_t>(shape_.adjustables) + static_cast<size_t>(p - 1);
    }

    Shape shape_;
    std::vector<int32_t> observationCount_;  // [0..individuals]
    std::vector<int32_t> pointCount_;        // [0..individuals]
    std::vector<int16_t> interrupt_;
    std::vector<WorkingFloat> time_;
    std::vector<WorkingFloat> values_;
    std::vector<WorkingFloat> individualSensitivity_;
    std::vector<WorkingFloat> populationSensitivity_;
};

}  // namespace tessuvan
