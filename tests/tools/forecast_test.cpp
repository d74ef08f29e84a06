// Bayesian forecasting for one patient: the MAP estimate agrees with an independent optimiser
// and with a FOCEI fit's own modes, a patient without levels gets the a priori forecast, the
// dose found reaches each kind of target, and bad input is refused with its reason.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "toolkit/forecast.h"

namespace tessuvan::toolkit {
namespace {

namespace fs = std::filesystem;

const fs::path kVancomycin = fs::path(TESSUVAN_EXAMPLES_DIR) / "vancomycin";
const fs::path kModel = kVancomycin / "vancomycin.toml";
const fs::path kReferences = TESSUVAN_TOOL_REFERENCES_DIR;

nlohmann::json ReadJson(const fs::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

class Forecasts : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("tessuvan-forecast-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path Patient(const std::string& text)
    {
        const fs::path path = root / "patient.csv";
        std::ofstream(path) << "ID,TIME,DV,AMT,DUR,EVID,MDV,CRCL,WT\n" << text;
        return path;
    }
    fs::path root;
};

MapRequest Request(const fs::path& prior, const fs::path& patient, int draws = 20)
{
    MapRequest request;
    request.prior = prior;
    request.patient = patient;
    request.draws = draws;
    request.points = 25;
    return request;
}

TEST(ForecastPieces, TheDoseSolverHitsTheAimOfCurvedAndAffineExposuresAndNamesTheBoundBeyondIt)
{
    int calls = 0;
    const auto affine = [&](double a) {
        ++calls;
        return 3.0 + 0.02 * a;
    };
    const forecast::DoseSolution line = forecast::SolveDose(affine, 15, 0, 5000, "trough=15");
    EXPECT_NEAR(line.amount, 600, 1e-9);
    EXPECT_LE(calls, 4);  // an affine exposure is solved by the first secant step
    const auto curved = [](double a) { return 40 * a / (250 + a); };  // saturating
    const forecast::DoseSolution bent = forecast::SolveDose(curved, 30, 0, 5000, "peak=30");
    EXPECT_NEAR(curved(bent.amount), 30, 1e-9);
    try {
        forecast::SolveDose(curved, 45, 0, 5000, "peak=45");
        ADD_FAILURE();
    } catch (const std::domain_error& error) {
        EXPECT_NE(std::string(error.what()).find("--max-dose 5000"), std::string::npos);
    }
    try {
        forecast::SolveDose(affine, 2, 0, 5000, "trough=2");
        ADD_FAILURE();
    } catch (const std::domain_error& error) {
        EXPECT_NE(std::string(error.what()).find("--min-dose 0"), std::string::npos);
    }
}

TEST(ForecastPieces, RoundingStaysWithinTheBoundsAndQuantilesInterpolate)
{
    EXPECT_DOUBLE_EQ(forecast::RoundDose(1130, 250, 0, 4000), 1250);
    EXPECT_DOUBLE_EQ(forecast::RoundDose(1130, 0, 0, 4000), 1130);
    EXPECT_DOUBLE_EQ(forecast::RoundDose(1980, 250, 0, 1900), 1750);  // rounded up past the highest
    EXPECT_DOUBLE_EQ(forecast::RoundDose(90, 250, 100, 1900), 250);   // rounded down past the lowest
    EXPECT_DOUBLE_EQ(forecast::Quantile({4, 1, 3, 2, 5}, 0.5), 3);
    EXPECT_DOUBLE_EQ(forecast::Quantile({1, 2, 3, 4, 5}, 0.05), 1.2);  // h = 4·0.05 = 0.2
    EXPECT_DOUBLE_EQ(forecast::Quantile({1, 2, 3, 4, 5}, 0.95), 4.8);
}

TEST(ForecastPieces, TargetsReadValuesAndRangesAndRefuseTheRest)
{
    const forecast::Target range = ParseTarget("auc24=400..600");
    EXPECT_EQ(range.kind, forecast::TargetKind::Auc24);
    EXPECT_TRUE(range.Range());
    EXPECT_DOUBLE_EQ(range.Aim(), 500);
    EXPECT_TRUE(range.Attained(450));
    EXPECT_FALSE(range.Attained(650));
    const forecast::Target trough = ParseTarget("trough=15");
    EXPECT_TRUE(trough.Attained(15.5));
    EXPECT_FALSE(trough.Attained(14.5));
    for (const char* bad : {"trough", "trough=", "cmax=3", "auc24=600..400", "peak=-2", "peak=1e999"})
        EXPECT_THROW(ParseTarget(bad), UsageError) << bad;
}

TEST_F(Forecasts, TheMapEstimateAndItsCovarianceAgreeWithAnIndependentOptimiser)
{
    const nlohmann::json reference = ReadJson(kReferences / "map_vancomycin.json");
    for (const std::string patient : {"patient_trough.csv", "patient_peak_trough.csv"}) {
        SCOPED_TRACE(patient);
        const MapResult map = Map(Request(kModel, kVancomycin / patient));
        const nlohmann::json& expected = reference[patient];
        EXPECT_NEAR(map.posterior.objective, expected["objective"].get<double>(),
                    1e-6 * std::abs(expected["objective"].get<double>()));
        for (std::size_t e = 0; e < map.prior.etas.size(); ++e) {
            const double want = expected["eta"][map.prior.etas[e].name].get<double>();
            EXPECT_NEAR(map.posterior.eta[Eigen::Index(e)], want, 1e-6 * std::max(std::abs(want), 1e-2))
                << map.prior.etas[e].name;
            for (std::size_t f = 0; f < map.prior.etas.size(); ++f) {
                const double c = expected["eta_covariance"][e][f].get<double>();
                const double scale = std::sqrt(expected["eta_covariance"][e][e].get<double>() *
                                               expected["eta_covariance"][f][f].get<double>());
                EXPECT_NEAR(map.posterior.covariance(Eigen::Index(e), Eigen::Index(f)), c, 1e-4 * scale);
            }
        }
    }
}

// The example's model with the η of CL and V1 in a block of correlation 0.5.
fs::path BlockModel(const fs::path& folder)
{
    std::ifstream in(kModel);
    std::stringstream text;
    text << in.rdbuf() << "\n[omega]\nblocks = [[\"CL\", \"V1\"]]\ncorrelations = { \"CL:V1\" = 0.5 }\n";
    const fs::path path = folder / "vancomycin_block.toml";
    std::ofstream(path) << text.str();
    return path;
}

TEST_F(Forecasts, ABlockOfOmegaWeighsTheCorrelationInThePosteriorAndInTheAprioriDraws)
{
    const nlohmann::json reference = ReadJson(kReferences / "map_vancomycin_block.json");
    const fs::path model = BlockModel(root);
    for (const std::string patient : {"patient_trough.csv", "patient_peak_trough.csv"}) {
        SCOPED_TRACE(patient);
        const MapResult map = Map(Request(model, kVancomycin / patient));
        const nlohmann::json& expected = reference[patient];
        EXPECT_NEAR(map.posterior.objective, expected["objective"].get<double>(),
                    1e-6 * std::abs(expected["objective"].get<double>()));
        for (std::size_t e = 0; e < map.prior.etas.size(); ++e) {
            const double want = expected["eta"][map.prior.etas[e].name].get<double>();
            // η relative to at least 0.02: the reference's own search settles the flat Q to ~1e-8.
            EXPECT_NEAR(map.posterior.eta[Eigen::Index(e)], want, 1e-6 * std::max(std::abs(want), 2e-2));
        }
    }
    // Without levels the posterior is the prior: the whole block, and draws that follow it.
    const MapResult none = Map(Request(model, Patient("C,0,.,1000,1,1,1,70,70\n")));
    EXPECT_NEAR(none.posterior.covariance(0, 1), 0.5 * std::sqrt(0.0729 * 0.0225), 1e-12);
    const std::vector<Eigen::VectorXd> draws =
        forecast::DrawEtas(Eigen::VectorXd::Zero(4), none.posterior.covariance, 2000, 1, 1);
    double cross = 0;
    for (const Eigen::VectorXd& eta : draws) cross += eta[0] * eta[1] / std::sqrt(0.0729 * 0.0225);
    EXPECT_NEAR(cross / double(draws.size()), 0.5, 0.06);
}

TEST_F(Forecasts, ALevelOfZeroIsWeighedAsFoceiWeighsIt)
{
    // An additive error weighs a level of 0: it pulls the clearance up, where one left out would not.
    const MapResult zero = Map(Request(kModel, Patient("E,0,.,1000,1,1,1,70,70\nE,30,0,.,.,0,0,70,70\n")));
    ASSERT_EQ(zero.levels.size(), 1u);
    EXPECT_EQ(zero.levels[0].dv, 0.0);
    EXPECT_GT(zero.posterior.eta[0], 0.05);
}

TEST_F(Forecasts, MapOfEachIndividualOfAFoceiFitReturnsThatFitsOwnEtas)
{
    const fs::path fit = root / "fit";
    fs::create_directories(fit);
    fs::copy_file(kReferences / "theophylline_focei_results.json", fit / "results.json");
    const nlohmann::json results = ReadJson(fit / "results.json");
    const fs::path data = fs::path(TESSUVAN_EXAMPLES_DIR) / "theophylline" / "theophylline.csv";
    for (const nlohmann::json& individual : results["individuals"]) {
        MapRequest request = Request(fit, data, 1);
        request.id = individual["id"].get<std::string>();
        SCOPED_TRACE("ID " + request.id);
        const MapResult map = Map(request);
        ASSERT_TRUE(map.priorIsFit);
        for (std::size_t e = 0; e < map.prior.etas.size(); ++e)
            EXPECT_NEAR(map.posterior.eta[Eigen::Index(e)], individual["eta"][map.prior.etas[e].name].get<double>(),
                        1e-6);
    }
}

TEST_F(Forecasts, APatientWithoutLevelsGetsTheAprioriForecastAndIsToldSo)
{
    const MapResult map = Map(Request(kModel, Patient("C,0,.,1000,1,1,1,70,70\nC,12,.,1000,1,1,1,70,70\n")));
    EXPECT_FALSE(map.posterior.levels);
    EXPECT_TRUE(map.posterior.eta.isZero());
    EXPECT_DOUBLE_EQ(map.posterior.covariance(0, 0), 0.0729);
    for (const ForecastRow& row : map.forecast) EXPECT_DOUBLE_EQ(row.pred, row.ipred);
    const Written written = Write(map, root / "out");
    EXPECT_NE(written.report.find("no level"), std::string::npos);
}

DoseRequest Regimen(const std::string& target)
{
    DoseRequest request;
    request.map = Request(kModel, kVancomycin / "patient_peak_trough.csv", 50);
    request.regimen.interval = 12;
    request.regimen.doses = 4;
    request.regimen.start = 48;
    request.regimen.infusion = 1.5;
    request.target = target;
    request.round = 250;
    return request;
}

TEST_F(Forecasts, TheDoseFoundReachesEachKindOfTargetAtItsUnroundedAmount)
{
    for (const std::string target : {"trough=15", "peak=35", "auc24=500", "auc24=400..600", "steady trough=15"}) {
        SCOPED_TRACE(target);
        DoseRequest request = Regimen(target.substr(target.find(' ') + 1));
        request.regimen.steadyState = target.rfind("steady", 0) == 0;
        const DoseResult dose = Dose(request);
        const double again = ForecastExposure(dose.map, dose.request.regimen, dose.target, dose.unrounded);
        EXPECT_NEAR(again, dose.target.Aim(), 1e-4 * dose.target.Aim());
        EXPECT_NEAR(std::fmod(dose.amount, 250.0), 0.0, 1e-9);
        EXPECT_GE(dose.probability, 0.0);
        EXPECT_LE(dose.probability, 1.0);
    }
}

TEST_F(Forecasts, TheAuc24IsTheAreaUnderTheForecastCurve)
{
    DoseRequest request = Regimen("auc24=500");
    request.map.until = request.regimen.End();
    request.map.points = 961;  // every 0.1 h: the window's start a node
    const DoseResult dose = Dose(request);
    double area = 0;
    const std::vector<ForecastRow>& f = dose.map.forecast;
    for (std::size_t k = 1; k < f.size(); ++k)
        if (f[k - 1].time >= request.regimen.End() - 24 - 1e-9)
            area += 0.5 * (f[k].time - f[k - 1].time) * (f[k].ipred + f[k - 1].ipred);
    EXPECT_NEAR(area, dose.exposure, 1e-3 * dose.exposure);
}

TEST_F(Forecasts, BadHistoriesAndTargetsAreRefusedWithTheirReason)
{
    const auto refused = [&](const auto& call, const std::string& words) {
        try {
            call();
            ADD_FAILURE() << "not refused: " << words;
        } catch (const Error& error) {
            EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
        }
    };
    refused([&] { Map(Request(kModel, Patient("D,1,5,.,.,0,0,70,70\n"))); }, "no dose");
    refused([&] { Map(Request(kModel, Patient("D,0,5,.,.,0,0,70,70\nD,1,.,1000,1,1,1,70,70\n"))); },
            "a level before the first dose");
    refused([&] { Map(Request(kModel, Patient("D,0,.,1000,1,1,1,,70\nD,5,9,.,.,0,0,,70\n"))); }, "CRCL");
    DoseRequest high = Regimen("trough=15");
    high.maxDose = 100;
    refused([&] { Dose(high); }, "not reached within --max-dose 100");
    DoseRequest steady = Regimen("peak=30");
    steady.regimen.steadyState = true;
    steady.at = 50;
    refused([&] { Dose(steady); }, "no steady-state target");
    DoseRequest short24 = Regimen("auc24=500");
    short24.regimen.steadyState = true;
    short24.regimen.doses = 1;
    refused([&] { Dose(short24); }, "less than the 24 h");
    DoseRequest single = Regimen("trough=15");
    single.regimen.doses = 1;
    refused([&] { Dose(single); }, "does not depend on its amount");
    DoseRequest loadedSteady = Regimen("trough=15");
    loadedSteady.regimen.steadyState = true;
    loadedSteady.loading = "auto";
    refused([&] { Dose(loadedSteady); }, "no first dose to load");
    DoseRequest twice = Regimen("trough=15");
    twice.intervals = {8, 12, 8};
    refused([&] { Dose(twice); }, "--interval 8: given twice");
    twice.intervals = {8, 12};
    twice.maxDose = 100;
    refused([&] { Dose(twice); }, "every 12: --target trough=15: not reached within --max-dose 100");
}

TEST_F(Forecasts, AnAutomaticLoadingDoseBringsTheFirstTroughToTheSteadyStates)
{
    // Long after the history (whose remains are below 1e-8 of the levels): the regimen alone.
    DoseRequest request = Regimen("trough=15");
    request.regimen.start = 2000;
    request.round = 0;
    request.loading = "auto";
    const DoseResult dose = Dose(request);
    ASSERT_GT(dose.regimen.loadingRatio, 1.0);
    EXPECT_NEAR(dose.loading, dose.regimen.loadingRatio * dose.amount, 1e-9 * dose.loading);
    EXPECT_NEAR(ForecastExposure(dose.map, dose.regimen, dose.target, dose.unrounded), 15, 1e-4 * 15);
    // By linearity the trough before the second dose of the loaded regimen is that at steady state.
    forecast::Regimen loaded = dose.regimen, steady = dose.regimen;
    loaded.doses = steady.doses = 2;
    steady.steadyState = true;
    steady.loadingRatio = 0;
    EXPECT_NEAR(ForecastExposure(dose.map, loaded, dose.target, dose.amount),
                ForecastExposure(dose.map, steady, dose.target, dose.amount), 1e-6 * 15);
}

TEST_F(Forecasts, TheIntervalChosenAttainsTheTargetMostOftenTiesGoingToTheLongest)
{
    DoseRequest request = Regimen("auc24=400..600");
    request.intervals = {8, 24, 12};
    const DoseResult dose = Dose(request);
    ASSERT_EQ(dose.candidates.size(), 3u);
    double best = 0;
    for (const DoseCandidate& c : dose.candidates) {
        EXPECT_TRUE(c.refusal.empty()) << c.refusal;
        EXPECT_DOUBLE_EQ(c.interval * c.doses, 96.0);  // the span of 4 doses every 24
        best = std::max(best, c.probability);
    }
    for (const DoseCandidate& c : dose.candidates)
        if (c.probability >= best - kIntervalTie) {
            EXPECT_LE(c.interval, dose.regimen.interval);
        }
    EXPECT_EQ(dose.regimen.doses, int(96 / dose.regimen.interval));
    Write(dose, root / "out");
    const nlohmann::json j = ReadJson(root / "out" / "results.json");
    EXPECT_EQ(j["dose"]["interval"], dose.regimen.interval);
    EXPECT_EQ(j["dose"]["candidates"].size(), 3u);
}

TEST_F(Forecasts, TheCommandsWriteTheirResultsOrNothing)
{
    const auto run = [](const std::string& arguments) {
        const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " -q > /dev/null 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string model = kModel.string(), patient = (kVancomycin / "patient_trough.csv").string();
    ASSERT_EQ(run("map " + model + " " + patient + " --draws 20 -o " + (root / "map").string()), 0);
    const nlohmann::json map = ReadJson(root / "map" / "results.json");
    for (const char* key : {"eta", "parameters", "eta_covariance", "objective", "observations", "forecast"})
        EXPECT_TRUE(map.contains(key)) << key;
    ASSERT_EQ(run("dose " + model + " " + patient +
                  " --interval 12 --doses 4 --start 48 --infusion 1 --target auc24=400..600 --round 250 -o " +
                  (root / "dose").string()),
              0);
    const nlohmann::json dose = ReadJson(root / "dose" / "results.json");
    EXPECT_TRUE(dose["dose"].contains("amount"));
    EXPECT_TRUE(dose["predicted"].contains("auc24"));
    EXPECT_TRUE(dose.contains("probability_of_target"));
    EXPECT_EQ(run("map " + model + " " + Patient("D,0,5,.,.,0,0,70,70\nD,1,.,1000,1,1,1,70,70\n").string() + " -o " +
                  (root / "bad").string()),
              2);
    EXPECT_FALSE(fs::exists(root / "bad"));
    EXPECT_EQ(run("dose " + model + " " + patient +
                  " --interval 12 --doses 4 --start 48 --target trough=15 "
                  "--max-dose 100 -o " +
                  (root / "bad").string()),
              1);
    EXPECT_FALSE(fs::exists(root / "bad"));
}

}  // namespace
}  // namespace tessuvan::toolkit
