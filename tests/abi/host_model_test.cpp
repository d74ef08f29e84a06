// The host-side builder writes files exactly as the library expects them: 248-byte records
// and one formula per line in species, individual, interrupt order.
#include <gtest/gtest.h>

#include "abi/host_model.h"

namespace tessuvan_host {
namespace {

TEST(HostModelFiles, TheSpeciesFileOfTwoSpeciesThreeIndividualsAndTwoInterruptsHasEighteenLines)
{
    HostModel model;
    model.Init()->NEspeces = 2;
    model.Init()->NIndividuals = 3;
    model.Init()->NInterrupts = 2;
    model.SetSpecies([](int s, int i, int t) { return "D" + std::to_string(s) + std::to_string(i) + std::to_string(t); },
                     [](int s) { return "FM" + std::to_string(s); },
                     [](int s, int e) { return "AM" + std::to_string(s) + std::to_string(e); });
    ASSERT_EQ(model.speciesLines.size(), 18u);
    EXPECT_EQ(model.speciesLines[1], "D112");
    EXPECT_EQ(model.speciesLines[2], "D121");
    EXPECT_EQ(model.speciesLines[6], "FM1");
    EXPECT_EQ(model.speciesLines[8], "AM12");
    EXPECT_EQ(model.speciesLines[9], "D211");
    EXPECT_EQ(model.speciesLines[17], "AM22");
}

TEST(HostModelFiles, TheOralModelWritesOneRecordPerPointAndNamesItsFiles)
{
    HostModel model;
    OralModel oral;
    oral.individuals = 2;
    BuildOralModel(model, oral);
    EXPECT_EQ(model.Init()->NPoints, 22);
    EXPECT_EQ(ReadBytes(model.dataFile).size(), 22 * kRecordBytes);
    const auto rows = ReadRows(model.dataFile);
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[11].individual, 2);
    EXPECT_EQ(rows[6].interrupt, 2);
    EXPECT_FLOAT_EQ(rows[3].Observed(1), static_cast<float>(oral.Concentration(2)));
    EXPECT_EQ(model.Init()->FileNameDat.vt, TessuvanTextBstr);
    EXPECT_EQ(model.speciesLines[1], "F1+160");
    EXPECT_EQ(model.speciesLines[4], "");
}

}  // namespace
}  // namespace tessuvan_host
