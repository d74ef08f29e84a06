// The visual predictive check's options: strata that split the observations without losing
// any, and the fraction below the limit of quantification, observed and simulated.
#include <unistd.h>

#include <gtest/gtest.h>

#include "simulation/vpc_blq.h"
#include "toolkit/toolkit.h"

namespace tessuvan {
namespace {

namespace fs = std::filesystem;

TEST(VpcBelowTheLimit, FractionsCountEachRowAgainstItsOwnLimitOrTheLargest)
{
    // Two bins of two rows: one censored at 0.5 (its own limit), the others take the largest, 1.
    std::vector<simulation::BlqRow> rows{{1, true, 0}, {1, false, 0}, {5, false, 0}, {5, false, 0}};
    ASSERT_TRUE(simulation::SetLimits(rows, {0.5, 0, 0, 0}));
    std::vector<simulation::BlqRow> censoredElsewhere = rows;
    censoredElsewhere[0].below = false;
    EXPECT_FALSE(simulation::SetLimits(censoredElsewhere, {0.5, 0, 0, 0}));  // no censored row: no panel
    rows.push_back({1, true, 0});
    ASSERT_TRUE(simulation::SetLimits(rows, {0.5, 0, 0, 0, 1}));
    EXPECT_EQ(rows[1].loq, 1);
    EXPECT_EQ(rows[0].loq, 0.5);
    // Replicates: in bin 1 (rows 0, 1, 4) 0.7 is above row 0's limit of 0.5, below the others' 1.
    const std::vector<std::vector<double>> replicates{{0.7, 0.7, 2, 2, 0.7}, {0.1, 3, 0.9, 3, 3}, {3, 3, 3, 3, 3}};
    const std::vector<simulation::BlqBin> bins = simulation::ComputeBlq(rows,
                                                                        [&](const auto& take) {
                                                                            for (const auto& values : replicates)
                                                                                take(values);
                                                                        },
                                                                        {0, 3, 6});
    ASSERT_EQ(bins.size(), 2u);
    EXPECT_EQ(bins[0].rows, 3);
    EXPECT_DOUBLE_EQ(bins[0].observed, 2.0 / 3);
    EXPECT_DOUBLE_EQ(bins[0].simulated[1], 1.0 / 3);  // the median of 2/3, 1/3, 0
    EXPECT_DOUBLE_EQ(bins[1].observed, 0);
    EXPECT_DOUBLE_EQ(bins[1].simulated[2], 0.45);  // of 0, 0.5 and 0, type 7: 0 + 0.9·0.5
}

TEST(VpcStrata, ThirdsOfAContinuousCovariateSplitTheObservationsWithoutLosingAny)
{
    const fs::path root = fs::temp_directory_path() / ("tessuvan-vpc-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "fit");
    fs::copy_file(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json",
                  root / "fit" / "results.json");
    toolkit::VpcRequest request;
    request.fit = root / "fit";
    request.data = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv";
    request.replicates = 20;
    const auto observations = [](const toolkit::VpcResult& vpc) {
        int n = 0;
        for (const cli::OutputVpc& check : vpc.outputs)
            for (const simulation::VpcBin& bin : check.vpc.plain) n += bin.observations;
        return n;
    };
    const toolkit::VpcResult whole = toolkit::Vpc(request);
    request.stratify = "WT";  // 11 weights: thirds of the 12 individuals
    const toolkit::VpcResult strata = toolkit::Vpc(request);
    fs::remove_all(root);
    ASSERT_EQ(strata.outputs.size(), 3u);
    for (const cli::OutputVpc& check : strata.outputs) {
        EXPECT_EQ(check.stratum.rfind("WT ", 0), 0u) << check.stratum;
        EXPECT_TRUE(check.blq.empty());  // no CENS column
    }
    EXPECT_EQ(observations(strata), observations(whole));
    EXPECT_EQ(observations(whole), int(whole.outputs[0].rows.size()));
}

}  // namespace
}  // namespace tessuvan
