// Inter-occasion variability: the model file's iov read into a κ per occasion met in the data,
// read through the occasion's indicator, its mistakes and those of the occasion column named;
// the FOCEI fit of examples/iov against an independent FOCEI in SciPy, and the simulation's κ
// drawn per occasion.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "data/derived_covariates.h"
#include "model/model_file.h"
#include "model/population_of.h"

namespace {

namespace fs = std::filesystem;
using namespace tessuvan;

const char* const kModel = R"(
[model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - ke*central"]
[parameters]
ka = { value = 1, omega = 0.09 }
CL = { value = 2, omega = 0.09, iov = 0.04 }
V = { value = 20 }
ke = { formula = "CL/V" }
[outputs]
conc = "central/V"
[error]
proportional = 0.1
)";

const char* const kData =
    "ID,TIME,DV,AMT,EVID,OCC\n"
    "1,0,.,100,1,1\n1,2,3,.,0,1\n1,24,.,100,4,3\n1,26,3,.,0,3\n"
    "2,0,.,100,1,1\n2,2,3,.,0,1\n";

std::string Failure(const std::string& model, const std::string& data)
{
    try {
        cli::Model read = cli::ParseModel(model, "m.toml");
        std::vector<std::string> columns;
        for (const cli::CovariateSpec& covariate : read.covariates) columns.push_back(covariate.column);
        cli::DataSet set = cli::ParseDataSet(data, "d.csv", columns);
        cli::AddDerivedCovariates(read, set);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(InterOccasionVariability, AKappaPerOccasionMetSharesTheVarianceAndMovesTheParameterOnItsOccasion)
{
    cli::Model model = cli::ParseModel(kModel, "m.toml");
    cli::DataSet data = cli::ParseDataSet(kData, "d.csv", {"OCC"});
    cli::AddDerivedCovariates(model, data);
    ASSERT_EQ(model.occasions, (std::vector<long>{1, 3}));  // those met, not 1 to 3
    ASSERT_EQ(model.parameters.size(), 6u);
    for (const auto& [p, name] : {std::pair{4, "CL_occ1"}, std::pair{5, "CL_occ3"}}) {
        const cli::ParameterSpec& kappa = model.parameters[std::size_t(p)];
        EXPECT_EQ(kappa.name, name);
        EXPECT_EQ(kappa.occasionOf, "CL");
        EXPECT_EQ(kappa.estimate, cli::Estimate::Fixed);
        EXPECT_EQ(kappa.scale, population::Scale::Linear);
        EXPECT_EQ(kappa.omega, 0.04);
    }
    // ke = CL/V inlines CL·exp(κ1·[OCC = 1] + κ3·[OCC = 3]), the indicators derived covariates
    // that step at their occasion's first row.
    EXPECT_EQ(model.parameters[3].engineFormula, "A2*EX(A5*Q2+A6*Q3)/A3");
    ASSERT_EQ(model.covariates.size(), 3u);
    for (const cli::CovariateSpec& covariate : model.covariates) EXPECT_TRUE(covariate.occasion);
    ASSERT_EQ(data.rows[3].covariates.size(), 3u);
    EXPECT_EQ(data.rows[3].covariates[1], 0.0);
    EXPECT_EQ(data.rows[3].covariates[2], 1.0);

    const population::PopulationModel population = cli::PopulationOf(model);
    ASSERT_EQ(population.occasions.size(), 1u);
    EXPECT_EQ(population.occasions[0].kappas, (std::vector<std::string>{"CL_occ1", "CL_occ3"}));
    EXPECT_EQ(population.omega.blocks.size(), 2u);  // ka and CL; the κ apart
}

TEST(InterOccasionVariability, MistakesOfTheModelAndOfTheOccasionColumnAreNamed)
{
    const std::string model = kModel;
    EXPECT_NE(Failure(model, "ID,TIME,DV,AMT,EVID\n1,0,.,100,1\n").find("OCC"), std::string::npos);
    EXPECT_NE(Failure(model, "ID,TIME,DV,AMT,EVID,OCC\n1,0,.,100,1,1\n1,2,3,.,0,1.5\n")
                  .find("d.csv:3: OCC: the occasion 1.5 is not a whole number"),
              std::string::npos);
    EXPECT_NE(Failure(model, "ID,TIME,DV,AMT,EVID,OCC\n1,0,.,100,1,1\n1,2,3,.,0,.\n").find("d.csv:3: OCC: no occasion"),
              std::string::npos);
    std::string formula = model;
    formula.replace(formula.find("ke = { formula = \"CL/V\" }"), 25, "ke = { formula = \"CL/V\", iov = 0.1 }");
    EXPECT_NE(Failure(formula, kData).find("parameters.ke.iov: a parameter defined by a formula"), std::string::npos);
    std::string pooled = model;
    pooled.replace(pooled.find("ka = { value = 1, omega = 0.09 }"), 32, "ka = 1");
    pooled.replace(pooled.find("omega = 0.09, iov"), 17, "iov");
    pooled += "[fit]\nestimation = \"pooled\"\n";
    EXPECT_NE(Failure(pooled, kData).find("\"pooled\" knows no omega"), std::string::npos);
    std::string renamed = model;
    renamed.replace(renamed.find("[outputs]"), 9, "[data]\noccasion = \"VISIT\"\n[outputs]");
    EXPECT_NE(Failure(renamed, kData).find("VISIT"), std::string::npos);  // the column asked for is missing
    const cli::Model without = cli::ParseModel(
        "[model]\ncompartments = [\"c\"]\nrates = [\"d(c)/dt = -k*c\"]\n"
        "[parameters]\nk = 1\n[outputs]\ny = \"c\"\n[data]\noccasion = \"OCC\"\n",
        "m.toml");
    ASSERT_EQ(without.warnings.size(), 1u);
    EXPECT_NE(without.warnings[0].find("no parameter has an iov"), std::string::npos);
}

int RunTool(const std::string& arguments)
{
    const std::string command = std::string(TESSUVAN_PROGRAM) + " " + arguments + " > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

nlohmann::json Json(const fs::path& path)
{
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

// The fit of examples/iov/iov.csv (the first 24 subjects × 3 occasions of the data the command
// simulates from truth.toml with seed 1), started at its estimates, against an independent FOCEI
// evaluated there.
TEST(InterOccasionVariability, TheFitMatchesAnIndependentFoceiAndWritesTheKappasWithTheEtas)
{
    const fs::path example = fs::path(TESSUVAN_EXAMPLES_DIR) / "iov";
    const fs::path out = fs::temp_directory_path() / ("tessuvan-iov-" + std::to_string(::getpid()));
    fs::remove_all(out);
    const fs::path model = fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "iov_at_estimates.toml";
    ASSERT_EQ(RunTool("fit " + model.string() + " " + (example / "iov.csv").string() +
                      " --quiet --npde 0 -o " + out.string()),
              0);
    const nlohmann::json fit = Json(out / "results.json");
    const nlohmann::json reference = Json(fs::path(TESSUVAN_TOOL_REFERENCES_DIR) / "focei_iov.json");
    EXPECT_NEAR(fit["minus_2ll"].get<double>(), reference["minus_2ll"].get<double>(), 0.01);
    EXPECT_GT(fit["iov"]["CL"]["variance"].get<double>(), 0.01);  // the truth 0.04, from 24 subjects
    EXPECT_LT(fit["iov"]["CL"]["variance"].get<double>(), 0.1);
    EXPECT_GT(fit["iov"]["CL"]["se"].get<double>(), 0);
    EXPECT_FALSE(fit["omega"].contains("CL_occ1"));  // a κ is no parameter of the population
    EXPECT_FALSE(fit["theta"].contains("CL_occ1"));
    for (const char* kappa : {"CL_occ1", "CL_occ2", "CL_occ3"})
        EXPECT_TRUE(fit["individuals"][0]["eta"].contains(kappa)) << kappa;
    std::ifstream report(out / "report.txt");
    std::stringstream text;
    text << report.rdbuf();
    EXPECT_NE(text.str().find("CL (iov)"), std::string::npos);

    // Replicates from the fit draw a κ per occasion and individual with the fit's π².
    const fs::path simulated = out.string() + "-sim";
    ASSERT_EQ(RunTool("simulate " + (example / "fit.toml").string() + " " + (example / "design.csv").string() +
                      " --replicates 2 --seed 3 --from " + out.string() + " --quiet -o " + simulated.string()),
              0);
    std::ifstream rows(simulated / "simulations.csv");
    std::string line;
    std::getline(rows, line);
    EXPECT_NE(line.find("ETA_CL_occ3"), std::string::npos);
    double sum = 0, squares = 0;
    int n = 0;
    std::string previous;
    while (std::getline(rows, line)) {
        std::stringstream cells(line);
        std::vector<std::string> cell;
        for (std::string c; std::getline(cells, c, ',');) cell.push_back(c);
        const std::string key = cell[0] + "," + cell[1];
        if (key == previous) continue;  // one draw per individual and replicate
        previous = key;
        for (std::size_t k = cell.size() - 3; k < cell.size(); ++k, ++n) {
            const double kappa = std::stod(cell[k]);
            sum += kappa;
            squares += kappa * kappa;
        }
    }
    ASSERT_EQ(n, 600);
    const double variance = (squares - sum * sum / n) / (n - 1);
    EXPECT_NEAR(variance, fit["iov"]["CL"]["variance"].get<double>(), 0.3 * fit["iov"]["CL"]["variance"].get<double>());
    fs::remove_all(out);
    fs::remove_all(simulated);
}

}  // namespace
