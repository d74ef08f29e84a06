#include <new>

#include "library/model_store.h"

namespace tessuvan {

std::unique_ptr<ModelStore> ModelStore::SimulationCopy() const noexcept
{
    try {
        Shape shape = shape_;
        shape.adjustables = 0;  // no sensitivity columns
        std::unique_ptr<ModelStore> copy(new ModelStore(shape));
        copy->IndividualsWithObservations = IndividualsWithObservations;
        copy->TotalObservationCount = TotalObservationCount;
        copy->observationCount_ = observationCount_;
        copy->pointCount_ = pointCount_;
        copy->interrupt_ = interrupt_;
        copy->time_ = time_;
        copy->values_ = values_;
        return copy;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tessuvan
