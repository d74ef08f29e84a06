#include "library/model_store.h"

#include <new>

namespace tessuvan {

std::unique_ptr<ModelStore> ModelStore::Create(const Shape& shape) noexcept
{
    if (shape.individuals < 0 || shape.pointsPerIndividual < 0 || shape.outputs < 0 || shape.adjustables < 0)
        return nullptr;
    try {
        std::unique_ptr<ModelStore> store(new ModelStore(shape));
        const size_t points = static_cast<size_t>(shape.individuals) * static_cast<size_t>(shape.pointsPerIndividual);
        const size_t outputs = static_cast<size_t>(shape.outputs);
        store->observationCount_.assign(static_cast<size_t>(shape.individuals) + 1, 0);
        store->pointCount_.assign(static_cast<size_t>(shape.individuals) + 1, 0);
        store->interrupt_.assign(points, 0);
        store->time_.assign(points, 0);
        store->values_.assign(points * kFieldCount * outputs, 0);
        store->individualSensitivity_.assign(points * outputs * static_cast<size_t>(shape.adjustables), 0);
        store->populationSensitivity_.assign(points * outputs * static_cast<size_t>(shape.adjustables), 0);
        return store;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

size_t ModelStore::AllocatedBytes() const
{
    return observationCount_.capacity() * sizeof(int32_t) + pointCount_.capacity() * sizeof(int32_t) +
           interrupt_.capacity() * sizeof(int16_t) +
           (time_.capacity() + values_.capacity() + individualSensitivity_.capacity() +
            populationSensitivity_.capacity()) * sizeof(WorkingFloat);
}

}  // namespace tessuvan
