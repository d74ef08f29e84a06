// The scratch store the finite differences simulate on: what a simulation reads and writes,
// and no sensitivity columns.
#include <gtest/gtest.h>

#include "library/model_store.h"

namespace tessuvan {
namespace {

TEST(SensitivityScratch, HoldsThePointsAndPredictionsButNoSensitivities)
{
    auto store = ModelStore::Create({2, 3, 2, 5});
    ASSERT_TRUE(store);
    store->PointCount(2) = 3;
    store->ObservationCount(2) = 4;
    store->Interrupt(2, 3) = 2;
    store->Time(2, 3) = 7.5;
    store->PopulationPrediction(2, 3, 2) = 11;
    store->IndividualPrediction(1, 2, 1) = 12;
    store->PopulationSensitivity(2, 3, 2, 5) = 13;

    const auto copy = store->SimulationCopy();
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->PointCount(2), 3);
    EXPECT_EQ(copy->ObservationCount(2), 4);
    EXPECT_EQ(copy->Interrupt(2, 3), 2);
    EXPECT_EQ(copy->Time(2, 3), 7.5);
    EXPECT_EQ(copy->PopulationPrediction(2, 3, 2), 11);
    EXPECT_EQ(copy->IndividualPrediction(1, 2, 1), 12);
    EXPECT_EQ(copy->shape().adjustables, 0);
    EXPECT_LT(copy->AllocatedBytes(), store->AllocatedBytes() / 2);

    copy->PopulationPrediction(2, 3, 2) = 99;  // a copy, not a view
    EXPECT_EQ(store->PopulationPrediction(2, 3, 2), 11);
}

}  // namespace
}  // namespace tessuvan
