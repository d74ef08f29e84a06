// The visual predictive check's options: strata that split the observations without losing
// any, the fraction below the limit of quantification, observed and simulated, and censored
// levels in the percentiles at their limit.
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// Levels below the limit enter the percentiles at the limit, and so do the simulated values
// below it: no percentile, observed or simulated, lies under it, and no level is lost.
TEST(VpcBelowTheLimit, CensoredLevelsAndSimulatedValuesBelowTheLimitEnterThePercentilesAtIt)
{
    const fs::path root = fs::temp_directory_path() / ("tessuvan-vpc-blq-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "fit");
    fs::copy_file(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "theophylline_focei_results.json",
                  root / "fit" / "results.json");
    std::ifstream in(fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv");
    std::ofstream out(root / "censored.csv");
    std::string line;
    std::getline(in, line);
    out << line << ",CENS\n";
    int levels = 0, censored = 0;
    while (std::getline(in, line)) {  // ID,TIME,DV,AMT,CMT,EVID,MDV,WT: DV below 2 censored at 2
        std::vector<std::string> cells;
        std::stringstream row(line);
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
        const bool level = cells[5] == "0" && cells[6] == "0";
        levels += level;
        if (level && std::stod(cells[2]) < 2) {
            cells[2] = "2";
            ++censored;
        }
        for (std::size_t c = 0; c < cells.size(); ++c) out << (c ? "," : "") << cells[c];
        out << "," << (level && cells[2] == "2" ? 1 : 0) << "\n";
    }
    out.close();
    ASSERT_GT(censored, 5);
    toolkit::VpcRequest request;
    request.fit = root / "fit";
    request.data = root / "censored.csv";
    request.replicates = 20;
    const toolkit::VpcResult vpc = toolkit::Vpc(request);
    fs::remove_all(root);
    ASSERT_EQ(vpc.outputs.size(), 1u);
    int observations = 0;
    for (const simulation::VpcBin& bin : vpc.outputs[0].vpc.plain) {
        observations += bin.observations;
        for (std::size_t l = 0; l < 3; ++l) {
            EXPECT_GE(bin.observed[l], 2.0) << bin.low;
            EXPECT_GE(bin.simulated[l][0], 2.0) << bin.low;
        }
    }
    EXPECT_EQ(observations, levels);
    EXPECT_FALSE(vpc.outputs[0].blq.empty());
}

}  // namespace
}  // namespace tessuvan
