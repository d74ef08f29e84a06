// Observations at or below 0 in a population fit, as the field distributes the theophylline
// data: 132 concentrations, the time-0 samples kept (most of them 0). FOCEI weighs them with an
// additive error, to the -2LL an independent implementation finds at the same estimates
// (scripts/references/focei_theophylline_zeros.py), and refuses them under a proportional
// error alone.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fit_program.h"

namespace {

namespace fs = std::filesystem;

using tessuvan::test_support::Fit;
using tessuvan::test_support::Json;
using tessuvan::test_support::Outcome;

const fs::path kReferences = TESSUVAN_TOOL_REFERENCES_DIR;
const fs::path kExample = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline";

TEST(FoceiZeroObservations, EveryConcentrationEntersTheLikelihoodToTheIndependentMinus2LL)
{
    const fs::path out = fs::temp_directory_path() / ("tessuvan-zeros-" + std::to_string(::getpid()));
    const Outcome fit = Fit(kExample / "theophylline_focei.toml", kReferences / "theophylline_zeros.csv", out);
    ASSERT_EQ(fit.status, 0) << fit.output;
    EXPECT_EQ(fit.output.find("treated as missing"), std::string::npos) << fit.output;
    const nlohmann::json results = Json(out / "results.json");
    const nlohmann::json reference = Json(kReferences / "theophylline_zeros_focei.json");
    EXPECT_EQ(results["n_observations"].get<int>(), 132);
    EXPECT_EQ(reference["n_observations"].get<int>(), 132);
    // The reference is the independent -2LL at the estimates of this fit (-2LL is flat there).
    for (const char* name : {"ka", "ke", "CL"})
        EXPECT_NEAR(results["theta"][name]["value"].get<double>(), reference["theta"][name].get<double>(),
                    1e-3 * reference["theta"][name].get<double>())
            << name;
    EXPECT_NEAR(results["minus_2ll"].get<double>(), reference["independent_minus_2ll"].get<double>(), 0.01);
    fs::remove_all(out);
}

TEST(FoceiZeroObservations, AProportionalErrorAloneIsRefusedWithTheLine)
{
    const fs::path root = fs::temp_directory_path() / ("tessuvan-zeros-b-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::ifstream in(kExample / "theophylline_focei.toml");
    std::stringstream text;
    text << in.rdbuf();
    std::string model = text.str();
    const std::size_t at = model.find("additive = 0.7");
    ASSERT_NE(at, std::string::npos);
    model.replace(at, std::string("additive = 0.7").size(), "proportional = 0.1");
    std::ofstream(root / "proportional.toml") << model;
    const Outcome fit = Fit(root / "proportional.toml", kReferences / "theophylline_zeros.csv", root / "out");
    EXPECT_EQ(fit.status, 2) << fit.output;
    EXPECT_NE(fit.output.find("theophylline_zeros.csv:14"), std::string::npos) << fit.output;
    EXPECT_NE(fit.output.find("proportional residual error alone"), std::string::npos) << fit.output;
    EXPECT_FALSE(fs::exists(root / "out"));
    fs::remove_all(root);
}

}  // namespace
