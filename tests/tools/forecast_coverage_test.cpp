// The forecast's interval by simulation (scripts/forecast-coverage.py: 1,000 patients of the
// vancomycin prior, one trough each, the next trough's truth): the recorded coverage is near
// 90 %, and the tool still gives the intervals the script recorded; the resampled draws are
// proposals of the Laplace normal, weighed towards the posterior.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fmt/format.h"

#include "toolkit/forecast.h"

namespace tessuvan::toolkit {
namespace {

namespace fs = std::filesystem;

const fs::path kVancomycin = fs::path(TESSUVAN_EXAMPLES_DIR) / "vancomycin";

fs::path WritePatient(const fs::path& folder, const nlohmann::json& patient)
{
    const std::string covariates =
        fmt::format("{:.1f},{:.1f}", patient["CRCL"].get<double>(), patient["WT"].get<double>());
    std::ofstream out(folder / "patient.csv");
    out << "ID,TIME,DV,AMT,DUR,EVID,MDV,CRCL,WT\n";
    for (const int t : {0, 12, 24}) out << "P," << t << ",.,1000,1,1,1," << covariates << "\n";
    out << fmt::format("P,35.9,{:.6f},.,.,0,0,{}\nP,36,.,1000,1,1,1,{}\n", patient["DV"].get<double>(), covariates,
                       covariates);
    return folder / "patient.csv";
}

TEST(ForecastCoverage, TheNinetyPercentIntervalHoldsAboutNinetyPercentOfSimulatedTruths)
{
    std::ifstream in(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "forecast_coverage.json");
    const nlohmann::json reference = nlohmann::json::parse(in);
    ASSERT_EQ(reference["patients"].get<int>(), 1000);
    EXPECT_GE(reference["coverage"].get<double>(), 0.88);
    EXPECT_LE(reference["coverage"].get<double>(), 0.92);
    const fs::path folder = fs::temp_directory_path() / ("tessuvan-coverage-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    for (const nlohmann::json& patient : reference["kept"]) {
        MapRequest request;
        request.prior = kVancomycin / "vancomycin.toml";
        request.patient = WritePatient(folder, patient);
        request.until = 47.9;
        request.points = 2;
        const MapResult map = Map(request);
        const double low = patient["IPRED_P5"].get<double>(), high = patient["IPRED_P95"].get<double>();
        EXPECT_NEAR(map.forecast.back().ipredP5, low, 1e-6 * low);
        EXPECT_NEAR(map.forecast.back().ipredP95, high, 1e-6 * high);
    }
    fs::remove_all(folder);
}

TEST(ForecastCoverage, ResampledDrawsAreLaplaceProposalsNearThePosteriorMode)
{
    MapRequest request;
    request.prior = kVancomycin / "vancomycin.toml";
    request.patient = kVancomycin / "patient_peak_trough.csv";
    request.points = 2;
    request.draws = 100;
    request.sir = true;
    const MapResult map = Map(request);
    ASSERT_TRUE(map.sir);
    ASSERT_EQ(map.posteriorDraws.size(), 100u);
    EXPECT_GT(map.effectiveSize, 0.2 * map.proposals);  // the normal is not far from this posterior
    EXPECT_LE(map.effectiveSize, map.proposals);
    const std::vector<Eigen::VectorXd> proposals =
        forecast::DrawEtas(map.posterior.eta, map.posterior.covariance, map.proposals, 1, 0);
    Eigen::VectorXd mean = Eigen::VectorXd::Zero(map.posterior.eta.size());
    for (const Eigen::VectorXd& draw : map.posteriorDraws) {
        EXPECT_TRUE(std::any_of(proposals.begin(), proposals.end(), [&](const auto& p) { return p == draw; }));
        mean += draw / 100.0;
    }
    // Within four standard errors of the mode in each η (the mode and the mean differ little here).
    for (Eigen::Index e = 0; e < mean.size(); ++e)
        EXPECT_NEAR(mean[e], map.posterior.eta[e], 4 * std::sqrt(map.posterior.covariance(e, e) / 100.0));
}

}  // namespace
}  // namespace tessuvan::toolkit
